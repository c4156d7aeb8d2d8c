#include "tests/platform/key_injection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace kelv::testing {

bool injectKey(const platform::ScanCode &key, bool press)
{
    unsigned keycode = 0;
    if (!platform::xKeycodeForScanCode(key, &keycode))
        return false;
    static Display *display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const bool sent = XTestFakeKeyEvent(display, keycode, press ? True : False, CurrentTime) != 0;
    XSync(display, False);
    return sent;
}

} // namespace kelv::testing
