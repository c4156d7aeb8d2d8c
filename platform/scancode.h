#pragma once

// Key codes of the X server (Linux evdev code + 8) translated to the PC
// scan code set 1 with the extended-key flag, as a Windows low-level keyboard
// hook reports them, so that macros recorded here name the same keys as
// macros recorded on Windows.

#include <cstdint>

namespace kelv::platform {

struct ScanCode
{
    std::uint32_t code = 0; // set-1 make code without the E0 prefix
    bool extended = false;  // the key sends an E0 prefix (Windows: LLKHF_EXTENDED)
};

// False when the key has no PC scan code (*out untouched). Follows Windows
// where it departs from raw set 1: Num Lock is 0x45 extended and Pause is 0x45
// without the flag; Print Screen is 0x37 extended.
bool scanCodeForXKeycode(unsigned xKeycode, ScanCode *out);

// The same for a Linux evdev key code (KEY_*).
bool scanCodeForEvdev(unsigned evdevCode, ScanCode *out);

// The same for a key named by the keyboard map ("AC01" for the key right of
// Caps Lock, "LCTL", "I147"): the name says which physical key it is, whatever
// key codes the keyboard map numbers its keys with.
bool scanCodeForKeyName(const char *name, ScanCode *out);

// Linux: the same for the key code of a Wayland key event (the XKB key code of
// the compositor's keyboard map), through the name the system's standard
// keyboard map gives that code.
bool scanCodeForXkbKeycode(unsigned keycode, ScanCode *out);

// The other way round: the X key code whose scan code is scan (what a Windows
// keyboard hook reports). False when no key of the table has that scan code.
bool xKeycodeForScanCode(const ScanCode &scan, unsigned *xKeycode);

} // namespace kelv::platform
