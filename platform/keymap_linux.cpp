#include "platform/scancode.h"

#include <xkbcommon/xkbcommon.h>

namespace kelv::platform {

namespace {

// The system's standard keyboard map (xkeyboard-config's default rules and
// layout), built once. It numbers the keys as Wayland key events do.
struct StandardKeymap
{
    xkb_context *context = nullptr;
    xkb_keymap *keymap = nullptr;

    StandardKeymap()
    {
        context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
        if (context)
            keymap = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    ~StandardKeymap()
    {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    }
};

} // namespace

bool scanCodeForXkbKeycode(unsigned keycode, ScanCode *out)
{
    static const StandardKeymap standard;
    if (!standard.keymap)
        return false;
    return scanCodeForKeyName(xkb_keymap_key_get_name(standard.keymap, keycode), out);
}

} // namespace kelv::platform
