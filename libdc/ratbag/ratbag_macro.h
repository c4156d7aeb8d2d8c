#pragma once

// Macros between the mouse's macro slots (the format of doc/device-map.md, with the set-1 scan
// codes the recorder reports) and the daemon's macro events (Linux key codes and waits), and
// the key assignments that ratbagd can only hold as short macros.

#include "libdc/ratbag/ratbag_device.h"

#include <cstdint>
#include <vector>

namespace kelv::ratbag {

constexpr uint32_t kSlotCount = 8;
constexpr uint32_t kSlotBase = 0x1000;
constexpr uint32_t kSlotSize = 0x800;
constexpr uint32_t kMemorySize = 0x10000;

// The events slot `slot` of the onboard memory runs on the daemon: presses and releases with
// Linux key codes, consecutive delays added up, zero delays left out. An all-zero slot is an
// empty macro. DC_OK, or DC_BAD_ARGUMENT for a damaged record, a scan code without a Linux
// key, or more than kMaxMacroEvents events.
int32_t slotMacro(const std::vector<uint8_t> &memory, uint32_t slot, Macro *out);

// The same macro with consecutive waits added up and zero waits left out.
Macro normalised(const Macro &macro);

// A key with modifiers (bit 0 Ctrl, 1 Shift, 2 Alt, 3 Win) as the daemon's macro: the
// modifiers pressed, the key pressed and released, the modifiers released in reverse.
// False when the scan code has no Linux key or the modifiers are out of range.
bool keyMacro(unsigned modifiers, unsigned scan, bool extended, Macro *out);
// The same for a Linux key code.
Macro linuxKeyMacro(unsigned modifiers, unsigned key);

// The key a macro of exactly keyMacro's shape stands for (*key: the Linux key code).
bool keyOfMacro(const Macro &macro, unsigned *modifiers, unsigned *key);

// The set-1 scan code of a Linux key code and back (false when there is none).
bool scanForKey(unsigned key, unsigned *scan, bool *extended);
bool keyForScan(unsigned scan, bool extended, unsigned *key);

// The media functions of assignment type 6 as Linux keys (p1 1..6) and back (0: none).
unsigned mediaKey(unsigned function);
unsigned mediaFunction(unsigned key);

} // namespace kelv::ratbag
