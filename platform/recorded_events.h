#pragma once

// The X protocol events the RECORD extension hands over (Linux: the key
// recorder's data connection). Plain byte parsing, kept apart from the X
// connection so that damaged data can be tested without an X server.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelv::platform {

struct RecordedKeyEvent
{
    bool pressed = false;   // KeyPress (true) or KeyRelease
    unsigned keycode = 0;   // X key code
    std::uint32_t time = 0; // the server's event time in milliseconds
};

// Calls onKey for each key press and release in one block of recorded
// events, in order: 32-byte core events, and generic events longer by their
// length field (in units of four bytes). swapped: the recorded client's byte
// order differs from ours. An event that would run past the block ends the
// walk, whatever its length field says.
void forEachRecordedKeyEvent(const std::uint8_t *data, std::size_t length, bool swapped,
                             const std::function<void(const RecordedKeyEvent &)> &onKey);

} // namespace kelv::platform
