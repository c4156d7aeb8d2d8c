#include "platform/instance_window.h"

#include <windows.h>

namespace kelv::platform {
namespace {

struct Search
{
    DWORD pid = 0;
    std::u16string mainWindowTitle;
    HWND found = nullptr;
};

BOOL CALLBACK visitWindow(HWND window, LPARAM context)
{
    auto *search = reinterpret_cast<Search *>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid)
        return TRUE;
    wchar_t title[1024];
    const int length = GetWindowTextW(window, title, int(std::size(title)));
    if (length < 1 || length > 1023)
        return TRUE;
    const std::u16string text(title, title + length);
    if (!isInstanceWindowTitle(text) && text != search->mainWindowTitle)
        return TRUE;
    search->found = window;
    return FALSE; // the first match ends the enumeration
}

} // namespace

bool raiseInstanceWindow(std::uint64_t pid, const std::u16string &mainWindowTitle)
{
    if (pid == 0 || pid > MAXDWORD)
        return false;
    Search search;
    search.pid = DWORD(pid);
    search.mainWindowTitle = mainWindowTitle;
    EnumWindows(visitWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return false;
    const bool foreground = SetForegroundWindow(search.found) != FALSE;
    SetFocus(search.found);
    return foreground;
}

} // namespace kelv::platform
