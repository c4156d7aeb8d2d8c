// Requests to end the program on Windows: console control events (Ctrl+C,
// Ctrl+Break, the console window closing, log-off, shut-down) and the end of
// the session as windows see it (WM_QUERYENDSESSION / WM_ENDSESSION, which
// reach a hidden top-level window on a thread of its own).
//
// The descriptor handed out is one end of a connected loopback socket pair:
// on Windows an event loop can watch sockets (Qt's QSocketNotifier takes
// them), and the handlers only send one byte to the other end. The byte is
// the C runtime's signal number: SIGINT for Ctrl+C, SIGBREAK for Ctrl+Break,
// SIGTERM for everything that ends the session or closes the console.
//
// Windows ends the process soon after a close, log-off or shut-down handler
// returns (and after WM_ENDSESSION has been answered), so those handlers wait
// a few seconds for the program to save and exit on its own.

#include "platform/termination_signals.h"

// winsock2.h must come before windows.h.
#include <winsock2.h>
// clang-format off
#include <windows.h>
// clang-format on
#include <csignal>
#include <mutex>
#include <thread>

namespace kelv::platform {
namespace {

constexpr DWORD kGraceMs = 5000;
const wchar_t kWindowClass[] = L"kelv.termination";

SOCKET g_reader = INVALID_SOCKET;
SOCKET g_writer = INVALID_SOCKET;

void deliver(int signal)
{
    const char byte = char(signal);
    ::send(g_writer, &byte, 1, 0);
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        deliver(SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
        deliver(SIGBREAK);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        deliver(SIGTERM);
        Sleep(kGraceMs); // the process ends here once the program has exited
        return TRUE;
    default:
        return FALSE;
    }
}

LRESULT CALLBACK sessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // the program may be ended; it saves when the end comes
    case WM_ENDSESSION:
        if (wParam) {
            deliver(SIGTERM);
            Sleep(kGraceMs);
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void runSessionWindow()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = sessionWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassW(&windowClass))
        return;
    // A hidden top-level window: message-only windows are not told about the
    // end of the session.
    HWND window = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window)
        return;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
}

// A connected pair of loopback TCP sockets (Windows has no socketpair).
bool makeSocketPair(SOCKET *reader, SOCKET *writer)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    SOCKET a = INVALID_SOCKET;
    SOCKET b = INVALID_SOCKET;
    const bool ok = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
                    listen(listener, 1) == 0 &&
                    (a = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) != INVALID_SOCKET &&
                    connect(a, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                    (b = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;
    closesocket(listener);
    if (!ok) {
        if (a != INVALID_SOCKET)
            closesocket(a);
        return false;
    }
    u_long nonBlocking = 1;
    ioctlsocket(b, FIONBIO, &nonBlocking);
    ioctlsocket(a, FIONBIO, &nonBlocking);
    *reader = b;
    *writer = a;
    return true;
}

} // namespace

int watchTerminationRequests()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0 || !makeSocketPair(&g_reader, &g_writer))
            return;
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
        std::thread(runSessionWindow).detach();
    });
    // Socket handles are small kernel handle values; they fit an int.
    return g_reader == INVALID_SOCKET ? -1 : int(g_reader);
}

int takeTerminationRequest()
{
    if (g_reader == INVALID_SOCKET)
        return 0;
    int last = 0;
    char buffer[64];
    int n;
    while ((n = recv(g_reader, buffer, sizeof buffer, 0)) > 0)
        last = static_cast<unsigned char>(buffer[n - 1]);
    return last;
}

} // namespace kelv::platform
