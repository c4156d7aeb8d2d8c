#pragma once

// Presses and releases keys as if typed on the keyboard, for the seam's tests:
// XTest on Linux, SendInput on Windows. Keys are named by their PC scan code
// and extended flag, as the keyboard hook reports them.

#include "platform/scancode.h"

namespace kelv::testing {

bool injectKey(const platform::ScanCode &key, bool press);

} // namespace kelv::testing
