// A program that sets up crash reporting like the application object does and
// then crashes on purpose. Used by the crash handler tests as a child process.
//
//   crash_crasher <mode> <application folder> <reporter name> [<dump folder>]
//
// With a dump folder the handler is first installed with that folder, so the
// set-up afterwards only sets the reporter (the second-construction path).
#include "crash/crash_reporting.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

volatile int g_zero = 0;
volatile int *g_null = nullptr;

// The undefined-behaviour sanitizer would stop these two before the signal the
// crash handler is tested with: they crash on purpose.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void writeThroughNull()
{
    *g_null = 42;
}

[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) int divideByZero()
{
    return 7 / g_zero;
}

[[gnu::noinline]] int recurse(int depth)
{
    volatile char block[4096];
    if (depth < 0) // never: the stack runs out first
        return 0;
    block[0] = static_cast<char>(depth);
    block[sizeof(block) - 1] = block[0];
    return recurse(depth + 1) + block[sizeof(block) - 1];
}

[[gnu::noinline]] void touchTruncatedMapping(const QString &folder)
{
    // Reading a page of a file mapping beyond the file's end raises SIGBUS.
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/bus.bin"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, 4096) != 0)
        std::abort();
    auto *page = static_cast<volatile char *>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
    if (page == MAP_FAILED || ::ftruncate(fd, 0) != 0)
        std::abort();
    ::unlink(path.constData());
    std::printf("%d\n", page[0]);
}

// Two threads crash: the second one as soon as the first one's dump file
// appears, i.e. while the first thread is inside the crash handler.
[[noreturn]] void crashInTwoThreads(const QString &dumpFolder)
{
    // Many separate mappings make the report's module list long, which keeps
    // the first thread in the handler long enough for the second to arrive.
    for (int i = 0; i < 8000; ++i)
        ::mmap(nullptr, 4096, i % 2 ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const QByteArray folder = QFile::encodeName(dumpFolder);
    std::thread second([folder] {
        for (;;) {
            const QStringList dumps =
                QDir(QFile::decodeName(folder)).entryList({QStringLiteral("*.dmp")}, QDir::Files);
            if (!dumps.isEmpty())
                writeThroughNull();
        }
    });
    std::thread first([] { writeThroughNull(); });
    first.join();
    second.join();
    std::abort();
}

// Crashes while another thread holds the dynamic loader's lock for good
// (it is stuck in a library constructor), so the handler cannot symbolise
// its backtrace and only the watchdog can end the process.
[[noreturn]] void crashWhileLoaderIsLocked()
{
    std::thread loader([] { ::dlopen(KELV_CRASH_BLOCKER, RTLD_NOW); });
    loader.detach();
    // The library is mapped once dlopen holds the lock; it never lets go.
    for (;;) {
        QFile maps(QStringLiteral("/proc/self/maps"));
        if (maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libcrash_blocker"))
            break;
        ::usleep(1000);
    }
    writeThroughNull();
    std::abort();
}

} // namespace

int main(int argc, char *argv[])
{
    // The tests look at dump files, not core files.
    struct rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);

    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: crash_crasher <mode> <application folder> <reporter> "
                             "[<dump folder>]\n");
        return 2;
    }
    const QString mode = args.at(1);
    const QString appFolder = args.at(2);
    if (args.size() > 4)
        kelv::crash::setDumpFolder(args.at(4));
    kelv::crash::setupCrashReporting(appFolder, args.at(3));
    const QString dumpFolder = kelv::crash::dumpFolder();
    std::fflush(stdout);

    if (mode == QLatin1String("segv"))
        writeThroughNull();
    else if (mode == QLatin1String("abort"))
        std::abort();
    else if (mode == QLatin1String("fpe"))
        return divideByZero();
    else if (mode == QLatin1String("ill"))
        __builtin_trap();
    else if (mode == QLatin1String("bus"))
        touchTruncatedMapping(appFolder);
    else if (mode == QLatin1String("stack"))
        return recurse(0);
    else if (mode == QLatin1String("threads"))
        crashInTwoThreads(dumpFolder);
    else if (mode == QLatin1String("loader-locked"))
        crashWhileLoaderIsLocked();
    else if (mode == QLatin1String("none"))
        return 0;
    std::fprintf(stderr, "crash_crasher: no crash for mode %s\n", qPrintable(mode));
    return 3;
}
