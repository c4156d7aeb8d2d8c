#include "crash/crash_handler.h"
#include "crash/report_writer.h"
#include "crash/reporter_command_line.h"
#include "crash/signal_safe.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kelv::crash {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kAltStackSize = 256 * 1024;
// How long the handler may take before the watchdog ends the process.
constexpr unsigned kWatchdogSeconds = 5;
// How long a second crashing thread waits for the first to end the process.
constexpr int kSecondThreadWaitSteps = 200; // of 50 ms: longer than the watchdog

char g_dumpFolder[kDumpFolderSize];
char g_commandLine[kCommandLineSize];
char g_dumpId[kDumpIdSize];
ParsedCommandLine g_parsed;
alignas(64) char g_altStack[kAltStackSize];
bool g_installed = false;

std::atomic<long> g_owner{0};           // thread id of the thread handling the crash
std::atomic<int> g_crashSignal{0};      // the signal being handled
std::atomic<bool> g_dumpIdReady{false}; // g_dumpId holds this crash's identifier
std::atomic<bool> g_reporterStarted{false};

static_assert(std::atomic<long>::is_always_lock_free, "signal handler needs lock-free atomics");
static_assert(std::atomic<bool>::is_always_lock_free, "signal handler needs lock-free atomics");

long currentThreadId()
{
    return static_cast<long>(::syscall(SYS_gettid));
}

void say(const char *a, const char *b = nullptr, const char *c = nullptr)
{
    writeAll(STDERR_FILENO, a, textLength(a));
    if (b)
        writeAll(STDERR_FILENO, b, textLength(b));
    if (c)
        writeAll(STDERR_FILENO, c, textLength(c));
}

void reportStartFailure(int error)
{
    SafeWriter out(STDERR_FILENO);
    out.text("CreateProcess failed (").dec(error).text(").\n");
}

// fork() without the atfork handlers, which take locks (malloc's among them)
// that the crashed code may hold.
pid_t rawFork()
{
    return static_cast<pid_t>(::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
}

void closeDescriptorsFrom(int first, int keep)
{
    // Everything from first up, except keep.
    if (keep >= first) {
        if (keep > first && ::syscall(SYS_close_range, first, keep - 1, 0) != 0)
            for (int fd = first; fd < keep; ++fd)
                ::close(fd);
        first = keep + 1;
    }
    if (::syscall(SYS_close_range, first, ~0U, 0) != 0)
        for (int fd = first; fd < 4096; ++fd)
            ::close(fd);
}

// Runs in the reporter's process just before execve.
[[noreturn]] void execReporter(int errorPipe)
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : kCrashSignals)
        ::sigaction(sig, &dfl, nullptr);
    ::sigaction(SIGALRM, &dfl, nullptr);
    ::alarm(0);

    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) {
        ::dup2(null, STDIN_FILENO);
        ::close(null);
    }
    closeDescriptorsFrom(3, errorPipe);

    ::execve(g_parsed.argv[0], g_parsed.argv, environ);
    const int error = errno;
    writeAll(errorPipe, reinterpret_cast<const char *>(&error), sizeof(error));
    ::_exit(127);
}

[[noreturn]] void endWithSignal(int sig)
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
    // The default action of every crash signal ends the process; in case it
    // did not, end without running any further code of the crashed program.
    ::_exit(128 + sig);
}

void startReporterOnce(bool dumpWritten)
{
    if (!g_dumpIdReady.load() || g_reporterStarted.exchange(true))
        return;
    onDumpWritten(g_dumpFolder, g_dumpId, dumpWritten);
}

void watchdog(int, siginfo_t *, void *)
{
    say("kelv: writing the crash report takes too long; ending the process.\n");
    startReporterOnce(false);
    const int sig = g_crashSignal.load();
    endWithSignal(sig ? sig : SIGABRT);
}

void armWatchdog()
{
    struct sigaction action = {};
    action.sa_sigaction = watchdog;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGALRM, &action, nullptr) == 0)
        ::alarm(kWatchdogSeconds);
}

bool fillRandom(unsigned char *bytes, std::size_t size)
{
    if (::getrandom(bytes, size, GRND_NONBLOCK) == static_cast<ssize_t>(size))
        return true;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return got == size;
}

void crashSignalHandler(int sig, siginfo_t *info, void *ucontext)
{
    const int savedErrno = errno;
    const long self = currentThreadId();
    long owner = 0;
    if (!g_owner.compare_exchange_strong(owner, self)) {
        if (owner == self) {
            // A fault inside the handler itself: no second dump; make sure the
            // reporter still starts, then end with the crash's own signal.
            say("kelv: the crash handler faulted; the crash report may be incomplete.\n");
            startReporterOnce(false);
            const int first = g_crashSignal.load();
            endWithSignal(first ? first : sig);
        }
        // Another thread is handling a crash already and will end the process.
        say("kelv: another thread crashed while the crash report was being written.\n");
        for (int i = 0; i < kSecondThreadWaitSteps; ++i) {
            struct timespec step = {0, 50 * 1000 * 1000};
            ::nanosleep(&step, nullptr);
        }
        endWithSignal(sig);
    }

    g_crashSignal.store(sig);
    armWatchdog();
    newDumpId(g_dumpId);
    g_dumpIdReady.store(true);

    char path[kDumpFolderSize + kDumpIdSize + 8];
    bool written = false;
    if (copyText(path, sizeof(path), g_dumpFolder) && appendText(path, sizeof(path), "/") &&
        appendText(path, sizeof(path), g_dumpId) && appendText(path, sizeof(path), ".dmp")) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            written = writeCrashReport(fd, sig, info, ucontext);
            written = ::close(fd) == 0 && written;
        }
    }
    if (!written)
        say("kelv: the crash report could not be written to ", path, "\n");

    startReporterOnce(written);
    errno = savedErrno;
    endWithSignal(sig);
}

} // namespace

void newDumpId(char out[kDumpIdSize])
{
    unsigned char bytes[16] = {};
    if (!fillRandom(bytes, sizeof(bytes))) {
        // No random source: a value that is still unique enough for one crash.
        struct timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        unsigned long long mix[2] = {static_cast<unsigned long long>(now.tv_sec) * 1000000007ULL ^
                                         static_cast<unsigned long long>(now.tv_nsec),
                                     static_cast<unsigned long long>(::getpid()) << 32 ^
                                         static_cast<unsigned long long>(currentThreadId())};
        for (int i = 0; i < 16; ++i)
            bytes[i] = static_cast<unsigned char>(mix[i / 8] >> (8 * (i % 8)));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    formatDumpId(bytes, out);
}

bool installCrashHandler(const char *dumpFolder)
{
    char folder[kDumpFolderSize];
    if (!dumpFolder || !copyText(folder, sizeof(folder), dumpFolder))
        return false;
    if (g_installed) {
        copyText(g_dumpFolder, sizeof(g_dumpFolder), folder);
        return true;
    }
    copyText(g_dumpFolder, sizeof(g_dumpFolder), folder);

    // Everything the handler needs later is loaded and bound now.
    prepareReportWriter();
    char scratch[kDumpIdSize];
    newDumpId(scratch);

    stack_t current = {};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) ||
        current.ss_size < kAltStackSize) {
        stack_t ours = {};
        ours.ss_sp = g_altStack;
        ours.ss_size = sizeof(g_altStack);
        ours.ss_flags = 0;
        if (::sigaltstack(&ours, nullptr) != 0)
            return false;
    }

    struct sigaction action = {};
    action.sa_sigaction = crashSignalHandler;
    // SA_NODEFER: a fault inside the handler enters it again and is recognised
    // there, instead of the kernel killing the process before the reporter starts.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int sig : kCrashSignals)
        if (::sigaction(sig, &action, nullptr) != 0)
            return false;
    g_installed = true;
    return true;
}

bool crashHandlerInstalled()
{
    return g_installed;
}

const char *dumpFolderBuffer()
{
    return g_dumpFolder;
}

bool onDumpWritten(const char *dumpFolder, const char *dumpId, bool succeeded)
{
    (void)succeeded; // the reporter is started either way and reports what it finds
    if (!buildReporterCommandLine(g_commandLine, sizeof(g_commandLine), reporterPathBuffer(),
                                  dumpFolder, dumpId)) {
        reportStartFailure(E2BIG);
        return true;
    }
    startReporterProcess(g_commandLine);
    return true;
}

bool startReporterProcess(const char *commandLine)
{
    if (!parseCommandLine(commandLine, g_parsed)) {
        reportStartFailure(ENOENT);
        return false;
    }
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        reportStartFailure(errno);
        return false;
    }
    const pid_t child = rawFork();
    if (child < 0) {
        const int error = errno;
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        reportStartFailure(error);
        return false;
    }
    if (child == 0) {
        // The intermediate process: a session of its own, then the reporter as
        // its child, so the reporter is re-parented and fully detached.
        ::close(errorPipe[0]);
        ::setsid();
        const pid_t reporter = rawFork();
        if (reporter == 0)
            execReporter(errorPipe[1]);
        if (reporter < 0) {
            const int error = errno;
            writeAll(errorPipe[1], reinterpret_cast<const char *>(&error), sizeof(error));
        }
        ::_exit(0);
    }
    ::close(errorPipe[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes without data when execve succeeded (close-on-exec).
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof(error)) {
        const ssize_t n =
            ::read(errorPipe[0], reinterpret_cast<char *>(&error) + got, sizeof(error) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(errorPipe[0]);
    if (got == sizeof(error))
        reportStartFailure(error);
    return false;
}

} // namespace kelv::crash
