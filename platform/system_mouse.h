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

// Linux: the settings live in the desktop's GSettings database (GNOME's
// org.gnome.desktop.peripherals.mouse schema), changed through the gsettings
// tool and read back to confirm. The tool is "gsettings" from PATH unless the
// environment variable KELV_GSETTINGS names another program (tests point it
// at a recording fake so the developer's own desktop stays untouched).
// Wheel lines have no GNOME setting: that call fails on such a desktop.
//
// Windows: SystemParametersInfoW (SPI_SETMOUSESPEED, SPI_SETWHEELSCROLLLINES;
// saved to the user's profile and announced to all windows) and
// SetDoubleClickTime, each read back.

} // namespace kelv::platform
