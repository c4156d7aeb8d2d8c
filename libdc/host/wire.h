#pragma once

// What the program and the device-library host (dchost) say to each other over their two
// channels. Every message is a frame: a 32-bit little-endian payload length, then the
// payload. Numbers inside are little-endian; a UTF-16 text or a byte buffer carries a
// presence byte (a null pointer stays null on the other side) and its length.
//
// Calls channel: the host first sends its hello; then each call of an entry point is one
// request frame (the entry's index in lookup order, then its arguments, buffers with the
// caller's bytes) answered by one reply frame (the 32-bit result, then the bytes of every
// buffer the entry may have written).
// Events channel (host to program only): one frame per callback of the library, with the
// host's steady-clock time of the callback, so the program can tell how long it took.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kelv::dchost {

constexpr std::uint32_t kProtocolVersion = 1;
constexpr char kHelloMagic[4] = {'K', 'D', 'C', 'H'};
// The largest frame either side accepts; the largest buffer a call may carry.
constexpr std::uint32_t kMaxFrame = 256 * 1024;
constexpr std::uint32_t kMaxBuffer = 64 * 1024;
// The most bytes of one data report that are forwarded.
constexpr std::uint32_t kMaxReport = 4096;

// A request's first byte: the entry point, by its place in the lookup order (dc_entries.h).
enum class Call : std::uint8_t {
    DeviceExist,
    Devices,
    OnDeviceEvent,
    OnDeviceData,
    Ask,
    Reset,
    Notify,
    Read,
    Write,
    ReadProp,
    WriteProp,
    ScriptOut,
    IDWrite,
    RebootRom,
    FinishUpdateRom,
    CheckRom,
    BornRom,
    EraseRom,
};

enum class EventKind : std::uint8_t { DeviceEvent = 1, DeviceData = 2 };

// How a callback registration reached the entry point: no holder at all, a holder holding
// null (unregister), or a holder holding a callback.
enum class Holder : std::uint8_t { Missing = 0, HoldsNull = 1, HoldsCallback = 2 };

class WireWriter
{
public:
    WireWriter &u8(std::uint8_t value);
    WireWriter &u16(std::uint16_t value);
    WireWriter &u32(std::uint32_t value);
    WireWriter &u64(std::uint64_t value);
    // A NUL-terminated UTF-16 text (null: absent).
    WireWriter &text(const char16_t *value);
    // size bytes at data (null: absent).
    WireWriter &bytes(const void *data, std::size_t size);
    WireWriter &raw(const void *data, std::size_t size);

    // The frame: length, then the payload written so far.
    std::string frame() const;
    const std::string &payload() const { return m_payload; }

private:
    std::string m_payload;
};

// Reads a payload; every read fails (and keeps failing) once the payload is short.
class WireReader
{
public:
    explicit WireReader(const std::string &payload) : m_payload(payload) {}

    bool u8(std::uint8_t *value);
    bool u16(std::uint16_t *value);
    bool u32(std::uint32_t *value);
    bool u64(std::uint64_t *value);
    // An absent text gives std::nullopt; a present one is read whole (no terminator inside).
    bool text(std::optional<std::u16string> *value);
    // At most maxSize bytes; an absent buffer gives std::nullopt.
    bool bytes(std::optional<std::string> *value, std::uint32_t maxSize = kMaxBuffer);
    bool raw(void *data, std::size_t size);
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_ok && m_pos == m_payload.size(); }

private:
    bool take(void *out, std::size_t size);

    const std::string &m_payload;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

// The pointer a decoded text or buffer stands for: null when absent.
inline const char16_t *pointerTo(const std::optional<std::u16string> &text)
{
    return text ? text->c_str() : nullptr;
}
inline std::uint8_t *pointerTo(std::optional<std::string> &buffer)
{
    return buffer ? reinterpret_cast<std::uint8_t *>(buffer->data()) : nullptr;
}

// Nanoseconds of the steady clock, which both processes read alike.
std::uint64_t steadyNanoseconds();

} // namespace kelv::dchost
