#include "platform/recorded_events.h"

#include <cstring>

namespace kelv::platform {
namespace {

constexpr std::uint8_t kKeyPress = 2;
constexpr std::uint8_t kKeyRelease = 3;
constexpr std::uint8_t kGenericEvent = 35;
constexpr std::size_t kCoreEventSize = 32;

std::uint32_t readCard32(const std::uint8_t *p, bool swapped)
{
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    if (swapped)
        value =
            (value >> 24) | ((value >> 8) & 0xff00u) | ((value << 8) & 0xff0000u) | (value << 24);
    return value;
}

} // namespace

void forEachRecordedKeyEvent(const std::uint8_t *data, std::size_t length, bool swapped,
                             const std::function<void(const RecordedKeyEvent &)> &onKey)
{
    std::size_t offset = 0;
    while (length - offset >= kCoreEventSize) {
        const std::uint8_t *event = data + offset;
        const std::uint8_t type = event[0] & 0x7f;
        // A generic event's length field is the server's word: counted in
        // 64 bits and checked against what is left, so no value of it can
        // wrap the walk around or move it outside the block.
        std::uint64_t size = kCoreEventSize;
        if (type == kGenericEvent)
            size += 4 * std::uint64_t(readCard32(event + 4, swapped));
        if (size > length - offset)
            return;
        if (type == kKeyPress || type == kKeyRelease) {
            RecordedKeyEvent key;
            key.pressed = type == kKeyPress;
            key.keycode = event[1];
            key.time = readCard32(event + 4, swapped);
            onKey(key);
        }
        offset += std::size_t(size);
    }
}

} // namespace kelv::platform
