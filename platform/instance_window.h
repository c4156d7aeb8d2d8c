#pragma once

// Bringing the window of the program's running instance to the front, from a
// second start of the program that got the running instance's process id.

#include <cstdint>
#include <string>

namespace kelv::platform {

// The main window's title as the running instance shows it: "kelv",
// optionally followed by white space and a number in parentheses ("kelv (2)"),
// at most 1023 characters.
bool isInstanceWindowTitle(const std::u16string &title);

// Finds the first top-level window of process pid whose title passes
// isInstanceWindowTitle or equals mainWindowTitle (the title the main window
// really shows, which the pattern does not match: without it the window would
// never be found), brings it to the front and gives it the focus. False when
// there is no such window or the system refused.
// Windows: EnumWindows, GetWindowThreadProcessId, GetWindowTextW,
// SetForegroundWindow and SetFocus. Linux: the window manager's client list
// (_NET_CLIENT_LIST, _NET_WM_PID, _NET_WM_NAME) and an activation request
// (_NET_ACTIVE_WINDOW); without a window manager there is no list and the
// result is false (the running instance raises itself when it is asked to show).
bool raiseInstanceWindow(std::uint64_t pid, const std::u16string &mainWindowTitle = {});

} // namespace kelv::platform
