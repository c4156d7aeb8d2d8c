#pragma once

namespace kelv::platform {

// The system's own mouse settings, as the desktop keeps them. Each call
// returns true only when the desktop now holds the new value; false when the
// desktop has no such setting, refuses the value or cannot be reached.
// Blocking; the calls take a few milliseconds.

// Pointer speed on the 1 (slowest) to 20 (fastest) scale; 10 is the middle.
// Values outside 1..20 are refused without touching the desktop.
bool setPointerSpeed(long long speed);

// Lines scrolled per wheel notch.
bool setWheelScrollLines(long long lines);

// Maximum time between the two clicks of a double click, in milliseconds
// (1..5000; anything else is refused without touching the desktop).
bool setDoubleClickTime(long long milliseconds);

// Which of the three settings the running desktop keeps and its tools are
// there to change: the calls above can succeed only for these (asked before
// showing the settings, so that the others are not offered at all).
struct ChangeableMouseSettings
{
    bool pointerSpeed = false;
    bool wheelScrollLines = false;
    bool doubleClickTime = false;
};
ChangeableMouseSettings changeableMouseSettings();

// What the running desktop holds now, read with the same tools that write
// the values and on the same scales (pointer speed 1..20, lines per notch,
// double-click time in milliseconds), so that a value changed with the
// desktop's own settings is shown as it is. Each value is one of:
//   >= 0            the value the desktop holds (its default where it keeps
//                   none of its own and the default is a known number);
//   kDesktopDefault the desktop applies a default of its own that is no number
//                   on the scale (MATE's "system default" acceleration, an
//                   Xfce pointer never given an acceleration);
//   kUnknown        the desktop has no such setting, its tools are missing or
//                   its store cannot be reached.
// Blocking; a few tool runs of a few milliseconds each (a tool that hangs is
// stopped after two seconds).
constexpr long long kUnknown = -1;
constexpr long long kDesktopDefault = -2;
struct MouseSettingValues
{
    long long pointerSpeed = kUnknown;
    long long wheelScrollLines = kUnknown;
    long long doubleClickTime = kUnknown;
};
MouseSettingValues currentMouseSettings();

// Linux: the desktop named by XDG_CURRENT_DESKTOP (the session type decides
// between Plasma's X11 and Wayland keys) keeps the values, written with its
// own tools and read back from its own store:
//   GNOME (and Unity, Budgie, Pantheon), Cinnamon, MATE: their GSettings
//     schemas through gsettings, confirmed in the dconf database;
//   KDE Plasma: kdeglobals (double-click time, wheel lines) and kcminputrc
//     (pointer speed) through kwriteconfig/kreadconfig, then the session is
//     told to apply them over D-Bus;
//   Xfce: xfconf (xsettings' double-click time, the pointers channel's
//     per-device acceleration).
// Wheel lines exist only on Plasma (1..100); on every other desktop, and on
// desktops not listed, the calls fail.
//
// Windows: SystemParametersInfoW (SPI_SETMOUSESPEED, SPI_SETWHEELSCROLLLINES;
// saved to the user's profile and announced to all windows) and
// SetDoubleClickTime, each read back.

} // namespace kelv::platform
