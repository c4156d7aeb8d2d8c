// Installs the crash handler (dump folder and reporter from the command line)
// and then crashes: "access" with an access violation (SIGSEGV on Linux),
// "terminate" through std::terminate (abort).
#include "crash/crash_handler.h"

#include <cstdio>
#include <cstring>
#include <exception>

volatile int *volatile g_nowhere = nullptr;

// The undefined-behaviour sanitizer would stop the store before the fault the
// crash handler is tested with: it crashes on purpose.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void writeThroughNull()
{
    *g_nowhere = 42;
}

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    if (!kelv::crash::installCrashHandler(argv[2]) || !kelv::crash::setReporterPath(argv[3]))
        return 3;
    std::fflush(stdout);
    if (std::strcmp(argv[1], "terminate") == 0)
        std::terminate();
    writeThroughNull();
    return 0;
}
