#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kelv::test {

// A named pipe at path whose writer hands data to the first reader that opens
// it, then closes. A reader that must never open the pipe shows it by not
// getting data; the destructor releases the writer, which waits for a reader,
// without any timing.
class PipeWriter
{
public:
    PipeWriter(const QString &path, const QByteArray &data)
        : m_path(QFile::encodeName(path)), m_data(data)
    {
        m_made = ::mkfifo(m_path.constData(), 0600) == 0;
        if (m_made)
            m_writer = std::thread([this] { writeOnce(); });
    }
    ~PipeWriter()
    {
        if (m_writer.joinable()) {
            // A reader of its own, opened without waiting, lets a writer that
            // still waits in open() go on; the data it writes is dropped.
            const int reader = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            m_writer.join();
            if (reader >= 0)
                ::close(reader);
        }
        ::unlink(m_path.constData());
    }
    PipeWriter(const PipeWriter &) = delete;
    PipeWriter &operator=(const PipeWriter &) = delete;

    bool isValid() const { return m_made; }

private:
    void writeOnce()
    {
        const int fd = ::open(m_path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        if (::write(fd, m_data.constData(), size_t(m_data.size())) < 0) {
            // The reader went away: nothing more to hand over.
        }
        ::close(fd);
    }

    QByteArray m_path;
    QByteArray m_data;
    bool m_made = false;
    std::thread m_writer;
};

} // namespace kelv::test
