#pragma once

#include <QString>

namespace kelv {

// The kind of desktop session the program runs in. Wayland sessions give a
// program neither system-wide key grabs nor other programs' key events: hot
// keys then come from the desktop portal, and the macro recorder sees the keys
// typed into the program's own window. That holds whether the program talks
// Wayland itself (Qt's "wayland" platform) or runs through XWayland.
struct Session
{
    // "wayland", "x11", "windows", or Qt's platform name otherwise
    // ("offscreen", ...).
    static QString type();
    static bool isWayland();
    // The desktop's name from XDG_CURRENT_DESKTOP ("GNOME", "KDE", ...),
    // empty when unknown.
    static QString desktop();
};

} // namespace kelv
