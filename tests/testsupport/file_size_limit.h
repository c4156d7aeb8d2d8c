#pragma once

#include <csignal>
#include <sys/resource.h>

namespace kelv::test {

// A full disk as this process meets it: while the object lives, a write that
// would take a file past the given size fails (EFBIG) instead of raising
// SIGXFSZ. The limit and the signal's handling are put back at its end, also
// when a failed check leaves the test early.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        if (::getrlimit(RLIMIT_FSIZE, &m_saved) != 0)
            return;
        m_previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit() { lift(); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isSet() const { return m_set; }

    // Ends the full disk before the object's end.
    void lift()
    {
        if (m_set)
            ::setrlimit(RLIMIT_FSIZE, &m_saved);
        m_set = false;
        if (m_previous != SIG_ERR)
            std::signal(SIGXFSZ, m_previous);
        m_previous = SIG_ERR;
    }

private:
    rlimit m_saved{};
    void (*m_previous)(int) = SIG_ERR;
    bool m_set = false;
};

} // namespace kelv::test
