// The host's channels on Windows: two named pipes that the program creates (so no other
// process can take their names first) and the host opens, "<name>-calls" (both ways) and
// "<name>-events" (host to program); the host gets <name> as its first argument. Every
// handle is overlapped, so a read can wait for the host's end or a timeout as well, and
// be cancelled from another thread.

#include "libdc/host/host_system.h"
#include "platform/command_line_win.h"
#include "platform/wide_text_win.h"

#include <atomic>
#include <windows.h>

namespace kelv::dchost {
namespace {

using platform::quotedArgument;
using platform::wideFromUtf8;

constexpr DWORD kPipeBuffer = 64 * 1024;

std::string systemMessage(const std::string &what, DWORD error)
{
    return what + " (error " + std::to_string(error) + ")";
}

std::string newEndpoint()
{
    static std::atomic<unsigned> counter{0};
    return "\\\\.\\pipe\\kelv-dchost-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter) + "-" + std::to_string(GetTickCount64());
}

} // namespace

struct Channel::Impl
{
    explicit Impl(HANDLE pipe)
        : handle(pipe), done(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~Impl()
    {
        CloseHandle(handle);
        CloseHandle(done);
        CloseHandle(stop);
    }

    // One overlapped transfer, waited for: some bytes, or false on failure, shut-down
    // (now or meanwhile) or timeout.
    bool transfer(void *data, DWORD size, bool writing, DWORD timeoutMs, DWORD *moved)
    {
        if (!done || !stop || WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
            return false;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        const BOOL started = writing ? WriteFile(handle, data, size, nullptr, &overlapped)
                                     : ReadFile(handle, data, size, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return false;
        const HANDLE waits[] = {done, stop};
        if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(handle, &overlapped);
            GetOverlappedResult(handle, &overlapped, moved, TRUE);
            return false;
        }
        return GetOverlappedResult(handle, &overlapped, moved, FALSE) && *moved > 0;
    }

    HANDLE handle;
    HANDLE done;
    HANDLE stop; // set by shutdown(): every transfer, waiting or to come, gives up
};

Channel::Channel(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Channel::~Channel() = default;

bool Channel::read(void *data, std::size_t size, std::chrono::milliseconds timeout)
{
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout.count());
    auto *out = static_cast<char *>(data);
    while (size > 0) {
        DWORD wait = INFINITE;
        if (timeout.count() >= 0) {
            const ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : DWORD(deadline - now);
        }
        DWORD n = 0;
        if (!m_impl->transfer(out, DWORD(size), false, wait, &n))
            return false;
        out += n;
        size -= n;
    }
    return true;
}

bool Channel::write(const void *data, std::size_t size)
{
    auto *in = static_cast<char *>(const_cast<void *>(data));
    while (size > 0) {
        DWORD n = 0;
        if (!m_impl->transfer(in, DWORD(size), true, INFINITE, &n))
            return false;
        in += n;
        size -= n;
    }
    return true;
}

void Channel::shutdown()
{
    SetEvent(m_impl->stop);
}

struct HostProcess::Impl
{
    PROCESS_INFORMATION process = {};
    std::unique_ptr<Channel> calls;
    std::unique_ptr<Channel> events;
};

HostProcess::HostProcess(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

namespace {

HANDLE createPipe(const std::string &name, DWORD direction)
{
    return CreateNamedPipeW(wideFromUtf8(name).c_str(),
                            direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                PIPE_REJECT_REMOTE_CLIENTS,
                            1, kPipeBuffer, kPipeBuffer, 0, nullptr);
}

// Waits for the host to open the pipe; false when it ended first or the time ran out.
bool awaitConnection(HANDLE pipe, HANDLE process, DWORD timeoutMs, std::string *error)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE;
    DWORD code = GetLastError();
    if (!connected && (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA)) {
        // Connected before we asked (ERROR_NO_DATA: and closed again); reads tell the rest.
        connected = true;
    } else if (!connected && code == ERROR_IO_PENDING) {
        const HANDLE waits[] = {overlapped.hEvent, process};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
        DWORD ignored = 0;
        if (woken == WAIT_OBJECT_0) {
            connected = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
        } else {
            CancelIoEx(pipe, &overlapped);
            GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
            *error = woken == WAIT_OBJECT_0 + 1 ? "the host ended before it connected"
                                                : "the host did not connect in time";
        }
    } else {
        *error = systemMessage("ConnectNamedPipe failed", code);
    }
    CloseHandle(overlapped.hEvent);
    // Only the host we started may be at the other end.
    ULONG client = 0;
    if (connected &&
        (!GetNamedPipeClientProcessId(pipe, &client) || client != GetProcessId(process))) {
        *error = "another process opened the host's pipe";
        connected = false;
    }
    return connected;
}

} // namespace

std::unique_ptr<HostProcess> HostProcess::start(const std::string &hostProgram,
                                                const std::vector<std::string> &arguments,
                                                std::chrono::milliseconds timeout,
                                                std::string *error)
{
    const std::string endpoint = newEndpoint();
    HANDLE calls = createPipe(endpoint + "-calls", PIPE_ACCESS_DUPLEX);
    HANDLE events = createPipe(endpoint + "-events", PIPE_ACCESS_INBOUND);
    auto impl = std::make_unique<Impl>();
    if (calls != INVALID_HANDLE_VALUE)
        impl->calls = std::make_unique<Channel>(std::make_unique<Channel::Impl>(calls));
    if (events != INVALID_HANDLE_VALUE)
        impl->events = std::make_unique<Channel>(std::make_unique<Channel::Impl>(events));
    if (!impl->calls || !impl->events) {
        *error = systemMessage("CreateNamedPipeW failed", GetLastError());
        return nullptr;
    }

    std::wstring commandLine =
        quotedArgument(wideFromUtf8(hostProgram)) + L" " + quotedArgument(wideFromUtf8(endpoint));
    for (const std::string &argument : arguments)
        commandLine += L" " + quotedArgument(wideFromUtf8(argument));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(wideFromUtf8(hostProgram).c_str(), commandLine.data(), nullptr, nullptr,
                        FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &impl->process)) {
        *error = systemMessage("cannot start " + hostProgram, GetLastError());
        return nullptr;
    }
    auto host = std::make_unique<HostProcess>(std::move(impl));
    const DWORD wait = DWORD(timeout.count());
    if (!awaitConnection(calls, host->m_impl->process.hProcess, wait, error) ||
        !awaitConnection(events, host->m_impl->process.hProcess, wait, error))
        return nullptr;
    return host;
}

HostProcess::~HostProcess()
{
    if (!m_impl->process.hProcess)
        return;
    // Closing the pipes ends the host: its next read finds them broken.
    m_impl->calls.reset();
    m_impl->events.reset();
    if (WaitForSingleObject(m_impl->process.hProcess, 1000) != WAIT_OBJECT_0) {
        TerminateProcess(m_impl->process.hProcess, 1);
        WaitForSingleObject(m_impl->process.hProcess, 5000);
    }
    CloseHandle(m_impl->process.hThread);
    CloseHandle(m_impl->process.hProcess);
}

Channel &HostProcess::calls()
{
    return *m_impl->calls;
}

Channel &HostProcess::events()
{
    return *m_impl->events;
}

std::uint64_t HostProcess::pid() const
{
    return m_impl->process.dwProcessId;
}

bool HostProcess::ended(long *exitCode) const
{
    if (WaitForSingleObject(m_impl->process.hProcess, 0) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(m_impl->process.hProcess, &code);
    if (exitCode)
        *exitCode = long(code);
    return true;
}

bool openHostChannels(const std::string &endpoint, std::unique_ptr<Channel> *calls,
                      std::unique_ptr<Channel> *events)
{
    const HANDLE callsPipe =
        CreateFileW(wideFromUtf8(endpoint + "-calls").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (callsPipe == INVALID_HANDLE_VALUE)
        return false;
    *calls = std::make_unique<Channel>(std::make_unique<Channel::Impl>(callsPipe));
    const HANDLE eventsPipe = CreateFileW(wideFromUtf8(endpoint + "-events").c_str(),
                                          GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (eventsPipe == INVALID_HANDLE_VALUE)
        return false;
    *events = std::make_unique<Channel>(std::make_unique<Channel::Impl>(eventsPipe));
    return true;
}

HostLibrary::HostLibrary(const std::string &file)
{
    m_handle = LoadLibraryW(wideFromUtf8(file).c_str());
    if (!m_handle)
        m_error = systemMessage("LoadLibraryW(" + file + ") failed", GetLastError());
}

HostLibrary::~HostLibrary() = default;

void *HostLibrary::find(const char *name) const
{
    return m_handle ? reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(m_handle), name))
                    : nullptr;
}

std::string HostLibrary::defaultFile()
{
    return "libdc.dll";
}

} // namespace kelv::dchost
