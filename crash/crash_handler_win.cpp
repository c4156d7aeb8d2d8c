// The crash handler on Windows. An unhandled exception (and the C runtime's
// invalid-parameter and pure-call errors) hands the crash to a dump thread
// that waits from installation on: a minidump is written from outside the
// crashing thread (MiniDumpWriteDump cannot walk the stack of the thread that
// calls it), then the reporter is started with the unquoted command line
// "<reporter> <dump folder>/<id>.dmp". The process then ends without the
// system's crash dialog.

#include "crash/crash_handler.h"
#include "crash/signal_safe.h"

// windows.h comes before the headers that build on it.
#include <windows.h>
// clang-format off
#include <dbghelp.h>
#include <rpc.h>
// clang-format on
#include <csignal>
#include <stdlib.h>

namespace kelv::crash {
namespace {

// The crashing thread waits for the dump thread as long as the dump grows: a
// busy machine or a slow disk can take longer than any fixed limit, and a dump
// cut off by the end of the process has no exception record. A dump whose file
// has not grown for kDumpStallMs is taken to hang, and given up; the crashing
// thread never waits longer than kDumpLimitMs.
constexpr DWORD kDumpStallMs = 30000;
constexpr DWORD kDumpPollMs = 250;
constexpr DWORD kDumpLimitMs = 10 * 60 * 1000;
constexpr DWORD kInvalidParameterCode = 0xC000000D; // STATUS_INVALID_PARAMETER
constexpr DWORD kPureCallCode = 0xC0000025;         // STATUS_NONCONTINUABLE_EXCEPTION
constexpr DWORD kAbortCode = 0x40000015;            // STATUS_FATAL_APP_EXIT

char g_dumpFolder[kDumpFolderSize];
char g_commandLine[kCommandLineSize];
wchar_t g_wideCommandLine[kCommandLineSize];
char g_dumpId[kDumpIdSize];
wchar_t g_dumpPath[kDumpFolderSize + kDumpIdSize + 8]; // the dump being written
bool g_installed = false;

HANDLE g_crashRequested = nullptr;
HANDLE g_dumpDone = nullptr;
HANDLE g_dumpGivenUp = nullptr; // the dump stopped growing: waiting is over
EXCEPTION_POINTERS *g_exception = nullptr;
DWORD g_crashedThread = 0;
volatile LONG g_handling = 0;

void say(const char *text)
{
    writeAll(2, text, textLength(text)); // standard error, where there is one
}

void reportStartFailure(unsigned long error)
{
    char line[64] = "CreateProcess failed (";
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + error % 10);
        error /= 10;
    } while (error && n < 20);
    std::size_t pos = textLength(line);
    while (n > 0)
        line[pos++] = digits[--n];
    line[pos] = '\0';
    appendText(line, sizeof line, ").\n");
    say(line);
}

bool writeMinidump()
{
    char path[kDumpFolderSize + kDumpIdSize + 8];
    if (!copyText(path, sizeof path, g_dumpFolder) || !appendText(path, sizeof path, "/") ||
        !appendText(path, sizeof path, g_dumpId) || !appendText(path, sizeof path, ".dmp"))
        return false;
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, g_dumpPath,
                            int(sizeof g_dumpPath / sizeof *g_dumpPath)) == 0)
        return false;
    HANDLE file = CreateFileW(g_dumpPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = g_crashedThread;
    exception.ExceptionPointers = g_exception;
    exception.ClientPointers = FALSE;
    const auto type =
        MINIDUMP_TYPE(MiniDumpNormal | MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
    const bool written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, type,
                                           g_exception ? &exception : nullptr, nullptr, nullptr);
    const bool closed = CloseHandle(file) != FALSE;
    if (!written) {
        say("kelv: the minidump could not be written\n");
        DeleteFileW(g_dumpPath);
    }
    return written && closed;
}

DWORD WINAPI dumpThread(void *)
{
    WaitForSingleObject(g_crashRequested, INFINITE);
    newDumpId(g_dumpId);
    const bool written = writeMinidump();
    onDumpWritten(g_dumpFolder, g_dumpId, written);
    SetEvent(g_dumpDone);
    return 0;
}

// The size of the dump being written; -1 while there is none.
LONGLONG dumpSize()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (g_dumpPath[0] == 0 || !GetFileAttributesExW(g_dumpPath, GetFileExInfoStandard, &data))
        return -1;
    return (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Watches the dump from a thread of its own (the crashing thread may have no
// stack left to do it): ends the crashing thread's wait once the dump has
// stopped growing for kDumpStallMs.
DWORD WINAPI dumpWatchThread(void *)
{
    WaitForSingleObject(g_crashRequested, INFINITE);
    LONGLONG lastSize = -1;
    DWORD still = 0;
    while (WaitForSingleObject(g_dumpDone, kDumpPollMs) == WAIT_TIMEOUT) {
        const LONGLONG size = dumpSize();
        if (size != lastSize) {
            lastSize = size;
            still = 0;
        } else if ((still += kDumpPollMs) >= kDumpStallMs) {
            SetEvent(g_dumpGivenUp);
            break;
        }
    }
    return 0;
}

// Runs on the crashing thread: the first crash is handed to the dump thread;
// any later one (another thread, or a fault while handing over) only waits.
LONG WINAPI onUnhandledException(EXCEPTION_POINTERS *exception)
{
    if (InterlockedCompareExchange(&g_handling, 1, 0) == 0) {
        g_exception = exception;
        g_crashedThread = GetCurrentThreadId();
        SetEvent(g_crashRequested);
    }
    HANDLE ends[] = {g_dumpDone, g_dumpGivenUp};
    WaitForMultipleObjects(2, ends, FALSE, kDumpLimitMs);
    return EXCEPTION_EXECUTE_HANDLER; // handled: the process ends, no crash dialog
}

// The C runtime's own fatal errors are no exceptions: they are dumped as one
// with a record of their own, then the process ends the same way.
[[noreturn]] void crashWithoutException(DWORD code)
{
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#ifdef _WIN64
    record.ExceptionAddress = reinterpret_cast<void *>(context.Rip);
#else
    record.ExceptionAddress = reinterpret_cast<void *>(context.Eip);
#endif
    EXCEPTION_POINTERS pointers = {&record, &context};
    onUnhandledException(&pointers);
    TerminateProcess(GetCurrentProcess(), code);
    for (;;) {
    }
}

void onInvalidParameter(const wchar_t *, const wchar_t *, const wchar_t *, unsigned, uintptr_t)
{
    crashWithoutException(kInvalidParameterCode);
}

void onPureCall()
{
    crashWithoutException(kPureCallCode);
}

// abort() (std::terminate among others) raises SIGABRT, whose default action
// ends the process without an exception.
void onAbort(int)
{
    crashWithoutException(kAbortCode);
}

} // namespace

void newDumpId(char out[kDumpIdSize])
{
    UUID uuid = {};
    unsigned char bytes[16] = {};
    if (UuidCreate(&uuid) == RPC_S_OK) {
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<unsigned char>(uuid.Data1 >> (24 - 8 * i));
        bytes[4] = static_cast<unsigned char>(uuid.Data2 >> 8);
        bytes[5] = static_cast<unsigned char>(uuid.Data2);
        bytes[6] = static_cast<unsigned char>(uuid.Data3 >> 8);
        bytes[7] = static_cast<unsigned char>(uuid.Data3);
        for (int i = 0; i < 8; ++i)
            bytes[8 + i] = uuid.Data4[i];
    } else {
        // No random source: a value that is still unique enough for one crash.
        LARGE_INTEGER now = {};
        QueryPerformanceCounter(&now);
        const unsigned long long mix[2] = {
            static_cast<unsigned long long>(now.QuadPart),
            static_cast<unsigned long long>(GetCurrentProcessId()) << 32 ^ GetCurrentThreadId()};
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
    copyText(g_dumpFolder, sizeof(g_dumpFolder), folder);
    if (g_installed)
        return true;

    g_crashRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_dumpDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_dumpGivenUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_crashRequested || !g_dumpDone || !g_dumpGivenUp)
        return false;
    // dbghelp is loaded now, not inside the crash.
    LoadLibraryW(L"dbghelp.dll");
    // Both threads exist from now on: a thread started inside a crash may
    // never run (the loader lock may be held by the crashed thread).
    HANDLE thread = CreateThread(nullptr, 256 * 1024, dumpThread, nullptr, 0, nullptr);
    if (!thread)
        return false;
    CloseHandle(thread);
    HANDLE watch = CreateThread(nullptr, 64 * 1024, dumpWatchThread, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!watch)
        return false;
    CloseHandle(watch);

    SetUnhandledExceptionFilter(onUnhandledException);
    _set_invalid_parameter_handler(onInvalidParameter);
    _set_purecall_handler(onPureCall);
    std::signal(SIGABRT, onAbort);
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
        reportStartFailure(ERROR_FILENAME_EXCED_RANGE);
        return true;
    }
    startReporterProcess(g_commandLine);
    return true;
}

bool startReporterProcess(const char *commandLine)
{
    // UTF-8, as every path the handler was given: the ANSI code page cannot
    // name every folder (a user name in another script).
    if (!commandLine || MultiByteToWideChar(CP_UTF8, 0, commandLine, -1, g_wideCommandLine,
                                            int(kCommandLineSize)) == 0) {
        reportStartFailure(GetLastError());
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, g_wideCommandLine, nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE | CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        reportStartFailure(GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return false;
}

} // namespace kelv::crash
