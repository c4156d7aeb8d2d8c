#include "libdc/host/wire.h"

#include <chrono>
#include <cstring>

namespace kelv::dchost {

WireWriter &WireWriter::raw(const void *data, std::size_t size)
{
    m_payload.append(static_cast<const char *>(data), size);
    return *this;
}

WireWriter &WireWriter::u8(std::uint8_t value)
{
    return raw(&value, 1);
}

WireWriter &WireWriter::u16(std::uint16_t value)
{
    const unsigned char b[2] = {static_cast<unsigned char>(value),
                                static_cast<unsigned char>(value >> 8)};
    return raw(b, 2);
}

WireWriter &WireWriter::u32(std::uint32_t value)
{
    u16(static_cast<std::uint16_t>(value));
    return u16(static_cast<std::uint16_t>(value >> 16));
}

WireWriter &WireWriter::u64(std::uint64_t value)
{
    u32(static_cast<std::uint32_t>(value));
    return u32(static_cast<std::uint32_t>(value >> 32));
}

WireWriter &WireWriter::text(const char16_t *value)
{
    if (!value)
        return u8(0);
    std::size_t length = 0;
    while (value[length] != 0 && length < kMaxBuffer / 2)
        ++length;
    u8(1).u32(static_cast<std::uint32_t>(length));
    for (std::size_t i = 0; i < length; ++i)
        u16(static_cast<std::uint16_t>(value[i]));
    return *this;
}

WireWriter &WireWriter::bytes(const void *data, std::size_t size)
{
    if (!data)
        return u8(0);
    u8(1).u32(static_cast<std::uint32_t>(size));
    return raw(data, size);
}

std::string WireWriter::frame() const
{
    WireWriter header;
    header.u32(static_cast<std::uint32_t>(m_payload.size()));
    return header.m_payload + m_payload;
}

bool WireReader::take(void *out, std::size_t size)
{
    if (!m_ok || m_payload.size() - m_pos < size) {
        m_ok = false;
        return false;
    }
    std::memcpy(out, m_payload.data() + m_pos, size);
    m_pos += size;
    return true;
}

bool WireReader::raw(void *data, std::size_t size)
{
    return take(data, size);
}

bool WireReader::u8(std::uint8_t *value)
{
    return take(value, 1);
}

bool WireReader::u16(std::uint16_t *value)
{
    unsigned char b[2];
    if (!take(b, 2))
        return false;
    *value = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool WireReader::u32(std::uint32_t *value)
{
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    if (!u16(&low) || !u16(&high))
        return false;
    *value = low | (std::uint32_t(high) << 16);
    return true;
}

bool WireReader::u64(std::uint64_t *value)
{
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    if (!u32(&low) || !u32(&high))
        return false;
    *value = low | (std::uint64_t(high) << 32);
    return true;
}

bool WireReader::text(std::optional<std::u16string> *value)
{
    std::uint8_t present = 0;
    std::uint32_t length = 0;
    if (!u8(&present))
        return false;
    if (!present) {
        value->reset();
        return true;
    }
    if (!u32(&length) || length > (m_payload.size() - m_pos) / 2)
        return m_ok = false;
    std::u16string result(length, u'\0');
    for (char16_t &unit : result) {
        std::uint16_t v = 0;
        u16(&v);
        if (v == 0)
            return m_ok = false; // a text never holds its terminator
        unit = char16_t(v);
    }
    *value = std::move(result);
    return m_ok;
}

bool WireReader::bytes(std::optional<std::string> *value, std::uint32_t maxSize)
{
    std::uint8_t present = 0;
    std::uint32_t size = 0;
    if (!u8(&present))
        return false;
    if (!present) {
        value->reset();
        return true;
    }
    if (!u32(&size) || size > maxSize || size > m_payload.size() - m_pos)
        return m_ok = false;
    *value = m_payload.substr(m_pos, size);
    m_pos += size;
    return true;
}

std::uint64_t steadyNanoseconds()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

} // namespace kelv::dchost
