#include "tests/platform/key_injection.h"

#include <windows.h>

namespace kelv::testing {

bool injectKey(const platform::ScanCode &key, bool press)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wScan = WORD(key.code);
    // The virtual key of the scan code as the keyboard layout maps it, so
    // that hot keys (which match virtual keys) see the key too.
    input.ki.wVk =
        WORD(MapVirtualKeyW(key.extended ? 0xE000 | key.code : key.code, MAPVK_VSC_TO_VK_EX));
    if (input.ki.wVk == 0)
        input.ki.dwFlags |= KEYEVENTF_SCANCODE;
    if (key.extended)
        input.ki.dwFlags |= KEYEVENTF_EXTENDEDKEY;
    if (!press)
        input.ki.dwFlags |= KEYEVENTF_KEYUP;
    return SendInput(1, &input, sizeof input) == 1;
}

} // namespace kelv::testing
