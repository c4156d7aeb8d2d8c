#pragma once

#include <cstddef>
#include <cstdint>

// Small helpers that may run inside a signal handler (or, on Windows, in the crash
// handler's dump thread): no allocation, no locks, no stdio, only plain loops over fixed
// buffers and one system call that writes to a C runtime file descriptor (write(2) on
// Linux, WriteFile on the descriptor's handle on Windows). Portable C++: no POSIX header
// outside the *_linux.cpp files, so that MSVC builds the Windows half.
namespace kelv::crash {

// Copies src into dst (size bytes, always NUL-terminated when size > 0).
// Returns false when src did not fit; dst then holds a truncated copy.
bool copyText(char *dst, std::size_t size, const char *src);

// Appends src to the NUL-terminated text in dst. Returns false when it did not fit.
bool appendText(char *dst, std::size_t size, const char *src);

std::size_t textLength(const char *text);

// Writes all bytes, retrying after interruptions. Returns false on any other failure.
bool writeAll(int fd, const char *data, std::size_t size);

// A buffered text writer on a file descriptor for use inside a signal handler.
// Failures are remembered; later writes are skipped once one failed.
class SafeWriter
{
public:
    explicit SafeWriter(int fd) : m_fd(fd) {}
    ~SafeWriter() { flush(); }
    SafeWriter(const SafeWriter &) = delete;
    SafeWriter &operator=(const SafeWriter &) = delete;

    SafeWriter &text(const char *text);
    SafeWriter &bytes(const char *data, std::size_t size);
    SafeWriter &ch(char c);
    SafeWriter &dec(long long value);
    // Lower-case hexadecimal with a "0x" prefix, zero-padded to at least width digits.
    SafeWriter &hex(std::uint64_t value, int width = 1);
    // Decimal, zero-padded to width digits.
    SafeWriter &padded(unsigned value, int width);

    bool flush();
    bool ok() const { return m_ok; }
    int fd() const { return m_fd; }

private:
    int m_fd;
    bool m_ok = true;
    std::size_t m_used = 0;
    char m_buffer[1024];
};

// Formats a value as lower-case hexadecimal digits, zero-padded to width,
// without prefix, into out (at least 17 bytes). Returns the number of digits.
int formatHex(std::uint64_t value, int width, char *out);

} // namespace kelv::crash
