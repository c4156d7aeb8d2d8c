// Stands in for the crash reporter: writes its arguments, one per line, to
// "reporter.txt" beside the program.
#include "platform/program_arguments.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = kelv::platform::programArguments(argc, argv);
    if (arguments.empty())
        return 1;
    const std::filesystem::path path =
        std::filesystem::u8path(arguments[0]).parent_path() / "reporter.txt";
    std::filesystem::path temp = path;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary);
        for (size_t i = 1; i < arguments.size(); ++i)
            out << arguments[i] << '\n';
        if (!out.flush())
            return 1;
    }
    std::error_code error;
    std::filesystem::rename(temp, path, error);
    return error ? 1 : 0;
}
