#include "crash/report_writer.h"
#include "crash/signal_safe.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef KELV_VERSION
#define KELV_VERSION "unknown"
#endif

namespace kelv::crash {
namespace {

constexpr int kMaxFrames = 128;
char g_executable[1024];

void writeUtcTime(SafeWriter &out)
{
    struct timespec now;
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
        out.text("unknown");
        return;
    }
    // Days since the epoch to a civil date (proleptic Gregorian calendar).
    const long long secs = now.tv_sec;
    long long days = secs / 86400;
    long long rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long year = yoe + era * 400;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    if (month <= 2)
        ++year;
    out.padded(static_cast<unsigned>(year), 4).ch('-').padded(month, 2).ch('-').padded(day, 2);
    out.ch('T').padded(static_cast<unsigned>(rem / 3600), 2).ch(':');
    out.padded(static_cast<unsigned>(rem / 60 % 60), 2).ch(':');
    out.padded(static_cast<unsigned>(rem % 60), 2).ch('Z');
}

bool hasFaultAddress(int signal, int code)
{
    // The kernel fills si_addr for faults it raised itself (positive codes).
    return code > 0 && code != SI_KERNEL &&
           (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL);
}

bool sentByProcess(int code)
{
    return code == SI_USER || code == SI_TKILL || code == SI_QUEUE;
}

std::uintptr_t instructionPointer(const void *ucontext)
{
    if (!ucontext)
        return 0;
    const auto *uc = static_cast<const ucontext_t *>(ucontext);
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

void writeRegisters(SafeWriter &out, const void *ucontext)
{
    out.text("Registers:\n");
    if (!ucontext) {
        out.text("not available\n");
        return;
    }
    const auto *uc = static_cast<const ucontext_t *>(ucontext);
#if defined(__x86_64__)
    struct Named
    {
        const char *name;
        int index;
    };
    static const Named registers[] = {
        {"rax", REG_RAX}, {"rbx", REG_RBX},       {"rcx", REG_RCX},         {"rdx", REG_RDX},
        {"rsi", REG_RSI}, {"rdi", REG_RDI},       {"rbp", REG_RBP},         {"rsp", REG_RSP},
        {"r8", REG_R8},   {"r9", REG_R9},         {"r10", REG_R10},         {"r11", REG_R11},
        {"r12", REG_R12}, {"r13", REG_R13},       {"r14", REG_R14},         {"r15", REG_R15},
        {"rip", REG_RIP}, {"efl", REG_EFL},       {"err", REG_ERR},         {"trapno", REG_TRAPNO},
        {"cr2", REG_CR2}, {"csgsfs", REG_CSGSFS}, {"oldmask", REG_OLDMASK},
    };
    int column = 0;
    for (const Named &r : registers) {
        if (column > 0)
            out.text(column % 3 == 0 ? "\n" : "  ");
        out.text(r.name);
        for (int pad = 8 - static_cast<int>(textLength(r.name)); pad > 0; --pad)
            out.ch(' ');
        out.hex(static_cast<std::uint64_t>(uc->uc_mcontext.gregs[r.index]), 16);
        ++column;
    }
    out.ch('\n');
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        out.ch('x').dec(i).text(i < 10 ? "      " : "     ");
        out.hex(uc->uc_mcontext.regs[i], 16).text((i + 1) % 3 == 0 ? "\n" : "  ");
    }
    out.text("sp      ").hex(uc->uc_mcontext.sp, 16).text("\n");
    out.text("pc      ").hex(uc->uc_mcontext.pc, 16).text("  ");
    out.text("pstate  ").hex(uc->uc_mcontext.pstate, 16).text("\n");
#else
    (void)uc;
    out.text("not available on this architecture\n");
#endif
}

void writeBacktrace(SafeWriter &out, const void *ucontext)
{
    out.text("Backtrace:\n");
    if (!out.flush())
        return;
    void *frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    // Leave out the handler's own frames: start at the interrupted instruction
    // when the unwinder went through the signal frame.
    const std::uintptr_t pc = instructionPointer(ucontext);
    int first = 0;
    if (pc != 0) {
        for (int i = 0; i < count; ++i) {
            if (reinterpret_cast<std::uintptr_t>(frames[i]) == pc) {
                first = i;
                break;
            }
        }
    }
    if (count > first)
        ::backtrace_symbols_fd(frames + first, count - first, out.fd());
    else
        out.text("not available\n");
}

void copyModules(SafeWriter &out)
{
    out.text("Modules:\n");
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) {
        out.text("not available\n");
        return;
    }
    char chunk[2048];
    for (;;) {
        const ssize_t n = ::read(maps, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.bytes(chunk, static_cast<std::size_t>(n));
    }
    ::close(maps);
}

} // namespace

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGSYS:
        return "SIGSYS";
    default:
        return "signal";
    }
}

const char *signalCodeName(int signal, int code)
{
    switch (code) {
    case SI_USER:
        return "SI_USER";
    case SI_TKILL:
        return "SI_TKILL";
    case SI_QUEUE:
        return "SI_QUEUE";
    case SI_KERNEL:
        return "SI_KERNEL";
    default:
        break;
    }
    if (signal == SIGSEGV) {
        switch (code) {
        case SEGV_MAPERR:
            return "SEGV_MAPERR";
        case SEGV_ACCERR:
            return "SEGV_ACCERR";
        default:
            return "";
        }
    }
    if (signal == SIGBUS) {
        switch (code) {
        case BUS_ADRALN:
            return "BUS_ADRALN";
        case BUS_ADRERR:
            return "BUS_ADRERR";
        case BUS_OBJERR:
            return "BUS_OBJERR";
        default:
            return "";
        }
    }
    if (signal == SIGFPE) {
        switch (code) {
        case FPE_INTDIV:
            return "FPE_INTDIV";
        case FPE_INTOVF:
            return "FPE_INTOVF";
        case FPE_FLTDIV:
            return "FPE_FLTDIV";
        case FPE_FLTOVF:
            return "FPE_FLTOVF";
        case FPE_FLTUND:
            return "FPE_FLTUND";
        case FPE_FLTRES:
            return "FPE_FLTRES";
        case FPE_FLTINV:
            return "FPE_FLTINV";
        case FPE_FLTSUB:
            return "FPE_FLTSUB";
        default:
            return "";
        }
    }
    if (signal == SIGILL) {
        switch (code) {
        case ILL_ILLOPC:
            return "ILL_ILLOPC";
        case ILL_ILLOPN:
            return "ILL_ILLOPN";
        case ILL_ILLADR:
            return "ILL_ILLADR";
        case ILL_ILLTRP:
            return "ILL_ILLTRP";
        case ILL_PRVOPC:
            return "ILL_PRVOPC";
        case ILL_PRVREG:
            return "ILL_PRVREG";
        case ILL_COPROC:
            return "ILL_COPROC";
        case ILL_BADSTK:
            return "ILL_BADSTK";
        default:
            return "";
        }
    }
    return "";
}

void prepareReportWriter()
{
    // backtrace() loads libgcc's unwinder on its first call; do that now.
    void *frames[4];
    const int count = ::backtrace(frames, 4);
    // Resolve backtrace_symbols_fd's own lazy bindings too (writes nothing: bad descriptor).
    ::backtrace_symbols_fd(frames, count, -1);

    const ssize_t n = ::readlink("/proc/self/exe", g_executable, sizeof(g_executable) - 1);
    g_executable[n > 0 ? n : 0] = '\0';
}

bool writeCrashReport(int fd, int signal, const siginfo_t *info, const void *ucontext)
{
    SafeWriter out(fd);
    out.text("kelv crash report\n");
    out.text("Version: ").text(KELV_VERSION).ch('\n');
    out.text("Time: ");
    writeUtcTime(out);
    out.ch('\n');
    out.text("Process: ").dec(::getpid()).ch('\n');
    out.text("Thread: ").dec(static_cast<long long>(::syscall(SYS_gettid))).ch('\n');
    out.text("Executable: ").text(g_executable[0] ? g_executable : "unknown").ch('\n');
    out.text("Signal: ").text(signalName(signal)).text(" (").dec(signal).text(")\n");
    if (info) {
        const char *codeName = signalCodeName(signal, info->si_code);
        out.text("Code: ");
        if (*codeName)
            out.text(codeName).text(" (").dec(info->si_code).text(")\n");
        else
            out.dec(info->si_code).ch('\n');
        if (hasFaultAddress(signal, info->si_code))
            out.text("Address: ").hex(reinterpret_cast<std::uintptr_t>(info->si_addr), 16).ch('\n');
        if (sentByProcess(info->si_code))
            out.text("Sender: ").dec(info->si_pid).ch('\n');
    }
    if (const std::uintptr_t pc = instructionPointer(ucontext))
        out.text("Instruction: ").hex(pc, 16).ch('\n');
    out.ch('\n');
    writeRegisters(out, ucontext);
    out.ch('\n');
    writeBacktrace(out, ucontext);
    out.ch('\n');
    copyModules(out);
    out.flush();
    return out.ok();
}

} // namespace kelv::crash
