#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelv::platform {

// A key chord for a system-wide hot key. The key is an X11 keysym value (the
// Latin-1 code for printable keys, 0xff.. for function and editing keys), so
// the same numbers serve as the table a Windows half maps to virtual keys.
struct HotKeyChord
{
    std::uint32_t keysym = 0;
    bool shift = false;
    bool control = false;
    bool alt = false;
    bool meta = false;
};

// One registered system-wide hot key. The key stays taken from every other
// program while this object lives; destroying it releases the key.
class GlobalHotKey
{
public:
    using Callback = std::function<void()>;

    // Registers the chord. Returns null when there is no window system to talk
    // to, when the key has no key code on this keyboard, or when the key is
    // already taken (by another program or by an earlier registration in this
    // one). The callback runs on a background thread once per key press.
    // display: the X display to use; empty means the DISPLAY environment.
    // Windows: RegisterHotKey on a thread of the hot key's own; display is
    // not used.
    static std::unique_ptr<GlobalHotKey> registerChord(const HotKeyChord &chord, Callback callback,
                                                       const std::string &display = {});

    virtual ~GlobalHotKey() = default;

protected:
    GlobalHotKey() = default;
    GlobalHotKey(const GlobalHotKey &) = delete;
    GlobalHotKey &operator=(const GlobalHotKey &) = delete;
};

} // namespace kelv::platform
