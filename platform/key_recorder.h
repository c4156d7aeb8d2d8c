#pragma once

// System-wide recording of key presses and releases. The keys are observed,
// never consumed: every other program still receives them.

#include "platform/scancode.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelv::platform {

struct RecordedKey
{
    bool pressed = false;   // true for a press, false for a release
    unsigned keycode = 0;   // X key code (evdev code + 8 on Linux); 0 when none stands for the key
    std::uint32_t time = 0; // the X server's event time in milliseconds
    std::string keyName;    // the keyboard map's name of the key ("AC01"); empty when unknown
    // The PC scan code as the system itself reports it (Windows: the hook's
    // scan code and extended flag, also for keys no X key code stands for);
    // code 0 where the system reports none (Linux).
    ScanCode scan;
};

// The PC scan code of a recorded key: the system's own where it reports one,
// else from the keyboard map's name for the key; a display that names no keys
// falls back on the evdev numbering. False for a key without a PC scan code.
bool recordedScanCode(const RecordedKey &key, ScanCode *out);

// On Linux: the X11 RECORD extension on connections of its own to the display
// named by $DISPLAY, read on a thread of its own. On Windows: a WH_KEYBOARD_LL
// hook on a thread of its own; the hook's scan code and extended flag are
// reported in scan, and as the X key code of the same key where there is one
// (see xKeycodeForScanCode); time is the hook's event time.
class KeyRecorder
{
public:
    // Called on the recorder's own thread, once per key event, in order.
    using Callback = std::function<void(const RecordedKey &)>;

    KeyRecorder();
    ~KeyRecorder();
    KeyRecorder(const KeyRecorder &) = delete;
    KeyRecorder &operator=(const KeyRecorder &) = delete;

    // Starts recording (a running recording is stopped first). Returns once the
    // server delivers events, or false with a reason in *error when there is no
    // display or the display has no RECORD extension.
    bool start(Callback callback, std::string *error = nullptr);

    // Ends the recording and waits for the thread; the callback is not called
    // after this returns. Harmless when nothing records.
    void stop();

    bool isRecording() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kelv::platform
