// Installs the crash handler (dump folder and reporter from the command line),
// writes the number of the thread that is about to crash to the file named by
// the fourth argument, and then crashes: "access" with an access violation
// (SIGSEGV on Linux) on a thread of its own, "overflow" by overflowing the
// main thread's stack, "terminate" through std::terminate (abort).
#include "crash/crash_handler.h"
#include "platform/program_arguments.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

volatile int *volatile g_nowhere = nullptr;
volatile bool g_deepEnough = false;
std::string g_threadFile;

// The undefined-behaviour sanitizer would stop the store before the fault the
// crash handler is tested with: it crashes on purpose.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void writeThroughNull()
{
    *g_nowhere = 42;
}

// Never deep enough: every call takes another page of stack until there is none.
[[gnu::noinline]] int recurse(int depth)
{
    volatile char page[4096];
    page[0] = char(depth);
    if (g_deepEnough)
        return page[0];
    return recurse(depth + 1) + page[0];
}

// The number the dump gives the crashing thread: the Windows thread id, the
// Linux task id.
void noteThisThread()
{
#ifdef _WIN32
    const unsigned long id = GetCurrentThreadId();
#else
    const unsigned long id = static_cast<unsigned long>(::syscall(SYS_gettid));
#endif
    std::ofstream(std::filesystem::u8path(g_threadFile), std::ios::binary) << id;
}

int main(int argc, char **argv)
{
    // Paths as UTF-8, as the program hands them to the handler.
    const std::vector<std::string> arguments = kelv::platform::programArguments(argc, argv);
    if (arguments.size() != 5)
        return 2;
    if (!kelv::crash::installCrashHandler(arguments[2].c_str()) ||
        !kelv::crash::setReporterPath(arguments[3].c_str()))
        return 3;
    g_threadFile = arguments[4];
    const std::string kind = arguments[1];
    std::fflush(stdout);
    if (kind == "terminate") {
        noteThisThread();
        std::terminate();
    }
    if (kind == "overflow") {
        noteThisThread();
        return recurse(0);
    }
    std::thread([] {
        noteThisThread();
        writeThroughNull();
    }).join();
    return 0;
}
