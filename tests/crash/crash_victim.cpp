// Installs the crash handler (dump folder and reporter from the command line)
// and then crashes with an access violation (SIGSEGV on Linux).
#include "crash/crash_handler.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    if (!kelv::crash::installCrashHandler(argv[1]) || !kelv::crash::setReporterPath(argv[2]))
        return 3;
    std::fflush(stdout);
    volatile int *nowhere = nullptr;
    *nowhere = 42;
    return 0;
}
