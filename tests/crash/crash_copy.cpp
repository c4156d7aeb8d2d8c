// Copies a program (the reporter stub) into a folder of the test's own,
// keeping its permissions so that it stays executable.
#include "platform/program_arguments.h"

#include <filesystem>

int main(int argc, char **argv)
{
    const std::vector<std::string> arguments = kelv::platform::programArguments(argc, argv);
    if (arguments.size() != 3)
        return 2;
    std::error_code error;
    std::filesystem::copy_file(std::filesystem::u8path(arguments[1]),
                               std::filesystem::u8path(arguments[2]),
                               std::filesystem::copy_options::overwrite_existing, error);
    return error ? 1 : 0;
}
