// Stands in for the crash reporter: writes its arguments, one per line, to
// "reporter.txt" beside the program.
#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    std::string path = argv[0];
    const size_t separator = path.find_last_of("/\\");
    path = (separator == std::string::npos ? std::string(".") : path.substr(0, separator)) +
           "/reporter.txt";
    const std::string temp = path + ".part";
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out)
        return 1;
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    std::fclose(out);
    return std::rename(temp.c_str(), path.c_str()) == 0 ? 0 : 1;
}
