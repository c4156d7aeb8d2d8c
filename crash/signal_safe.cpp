#include "crash/signal_safe.h"

// Plain loops over fixed buffers, the same on every system; the one system call, writeAll,
// is in signal_safe_linux.cpp and signal_safe_win.cpp.

namespace kelv::crash {

std::size_t textLength(const char *text)
{
    std::size_t n = 0;
    if (text)
        while (text[n])
            ++n;
    return n;
}

bool copyText(char *dst, std::size_t size, const char *src)
{
    if (size == 0)
        return false;
    dst[0] = '\0';
    return appendText(dst, size, src);
}

bool appendText(char *dst, std::size_t size, const char *src)
{
    if (size == 0)
        return false;
    std::size_t used = textLength(dst);
    if (used >= size)
        return false;
    if (!src)
        return true;
    for (std::size_t i = 0; src[i]; ++i) {
        if (used + 1 >= size) {
            dst[used] = '\0';
            return false;
        }
        dst[used++] = src[i];
    }
    dst[used] = '\0';
    return true;
}

int formatHex(std::uint64_t value, int width, char *out)
{
    char digits[16];
    int n = 0;
    do {
        const unsigned d = static_cast<unsigned>(value & 0xf);
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + (d - 10));
        value >>= 4;
    } while (value != 0 && n < 16);
    if (width > 16)
        width = 16;
    int len = 0;
    for (int pad = width - n; pad > 0; --pad)
        out[len++] = '0';
    while (n > 0)
        out[len++] = digits[--n];
    out[len] = '\0';
    return len;
}

SafeWriter &SafeWriter::bytes(const char *data, std::size_t size)
{
    if (!m_ok)
        return *this;
    while (size > 0) {
        if (m_used == sizeof(m_buffer) && !flush())
            return *this;
        std::size_t chunk = sizeof(m_buffer) - m_used;
        if (chunk > size)
            chunk = size;
        for (std::size_t i = 0; i < chunk; ++i)
            m_buffer[m_used + i] = data[i];
        m_used += chunk;
        data += chunk;
        size -= chunk;
    }
    return *this;
}

SafeWriter &SafeWriter::text(const char *text)
{
    return bytes(text ? text : "(null)", textLength(text ? text : "(null)"));
}

SafeWriter &SafeWriter::ch(char c)
{
    return bytes(&c, 1);
}

SafeWriter &SafeWriter::dec(long long value)
{
    char digits[24];
    int n = 0;
    // Work on the negative range so that the smallest value does not overflow.
    const bool negative = value < 0;
    long long v = negative ? value : -value;
    do {
        digits[n++] = static_cast<char>('0' - (v % 10));
        v /= 10;
    } while (v != 0);
    if (negative)
        ch('-');
    while (n > 0)
        ch(digits[--n]);
    return *this;
}

SafeWriter &SafeWriter::hex(std::uint64_t value, int width)
{
    char digits[17];
    const int n = formatHex(value, width, digits);
    bytes("0x", 2);
    return bytes(digits, static_cast<std::size_t>(n));
}

SafeWriter &SafeWriter::padded(unsigned value, int width)
{
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 11);
    for (int pad = width - n; pad > 0; --pad)
        ch('0');
    while (n > 0)
        ch(digits[--n]);
    return *this;
}

bool SafeWriter::flush()
{
    if (m_ok && m_used > 0)
        m_ok = writeAll(m_fd, m_buffer, m_used);
    m_used = 0;
    return m_ok;
}

} // namespace kelv::crash
