#include "tests/doctest_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace kelv::testing {

std::string programFolder()
{
    const char *folder = std::getenv("KELV_PROGRAM_DIR");
    return folder ? folder : std::string();
}

std::string libdcFile()
{
#ifdef _WIN32
    return programFolder() + "/libdc.dll";
#else
    return programFolder() + "/libdc.so";
#endif
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

long runProgram(const std::string &program, const std::vector<std::string> &arguments,
                const std::vector<std::string> &environment, std::chrono::milliseconds timeout)
{
    ChildProcess child(program, arguments, environment);
    long code = -1;
    if (!child.started() || !child.wait(timeout, &code))
        return -1;
    return code;
}

std::string readWholeFile(const std::string &path)
{
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace kelv::testing
