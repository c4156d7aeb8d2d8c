// Copies a program (the reporter stub) into a folder of the test's own,
// keeping its permissions so that it stays executable.
#include <filesystem>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    std::error_code error;
    std::filesystem::copy_file(argv[1], argv[2], std::filesystem::copy_options::overwrite_existing,
                               error);
    return error ? 1 : 0;
}
