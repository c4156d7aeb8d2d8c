#include "common/text_file.h"

#include "platform/file_access.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelv {

QString decodeText(QByteArray bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    bytes.replace("\r\n", "\n");
    return QString::fromUtf8(bytes);
}

bool openRegularFile(QFile *file, const QString &path)
{
    // QFile cannot open without blocking: the system opens the file without
    // waiting and tells what it is, and QFile reads from that descriptor.
    const platform::RegularFile opened = platform::openRegularFile(path.toStdString());
    if (opened.result != platform::RegularOpen::Opened)
        return false;
    file->setFileName(path);
    return file->open(opened.fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
}

bool readTextFile(const QString &path, QString *text)
{
    text->clear();
    QFile file;
    if (!openRegularFile(&file, path))
        return false;
    *text = decodeText(file.readAll());
    return true;
}

TextFileRead readTextFile(const QString &path, QString *text, qsizetype maxBytes)
{
    text->clear();
    QFile file;
    if (!openRegularFile(&file, path))
        return TextFileRead::NotOpened;
    // One byte more than allowed tells a file that is too large, also one
    // that grows while it is read or reports no size (a pipe).
    const QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes)
        return TextFileRead::TooLarge;
    *text = decodeText(bytes);
    return TextFileRead::Read;
}

QByteArray encodeTextForDisk(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    QByteArray out;
    out.reserve(bytes.size() + bytes.count('\n'));
    char previous = 0;
    for (char c : std::as_const(bytes)) {
        if (c == '\n' && previous != '\r')
            out.append('\r');
        out.append(c);
        previous = c;
    }
    return out;
}

namespace {

// Whether the file exists and may be written while its folder (that of the
// file a link leads to) takes no new file, so no temporary file beside it.
bool onlyFileIsWritable(const QString &path)
{
    const QFileInfo file(path);
    if (!file.isFile() || !file.isWritable())
        return false;
    return !QFileInfo(QFileInfo(file.canonicalFilePath()).absolutePath()).isWritable();
}

// Writes data into the file itself. The file first grows to the new size
// with the new content's tail: a full disk refuses that while the old
// content is still whole (the file is cut back to it). Only then does the
// new content go over the old and the file is cut to the new size. Opening
// with truncation instead emptied the file before a full disk refused the
// new content, and the profile was lost.
bool writeInPlace(const QString &path, const QByteArray &data)
{
    QFile file(path);
    // Unbuffered: a write the disk refused must not stay queued for later.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return false;
    const qint64 oldSize = file.size();
    if (data.size() > oldSize) {
        const qint64 tail = data.size() - oldSize;
        if (!file.seek(oldSize) || file.write(data.constData() + oldSize, tail) != tail) {
            file.resize(oldSize);
            return false;
        }
    }
    return file.seek(0) && file.write(data) == data.size() && file.resize(data.size());
}

// The owner of a file before it is replaced, and the file the replacement
// goes to (links resolved, as the temporary file is put there).
struct Owner
{
    explicit Owner(const QString &path)
    {
        const QFileInfo info(path);
        exists = info.exists();
        user = info.ownerId();
        group = info.groupId();
        target = info.canonicalFilePath();
    }
    bool exists = false;
    uint user = 0;
    uint group = 0;
    QString target;
};

// A file replaced by root (kelv started with sudo for the mouse's sake) gets
// its former owner back: the new file was root's, and the user's own kelv
// could no longer save it. Where the owner is the writer itself, as always
// for everyone but root, nothing changes. Only the file just written is
// given away: a regular file of the writer's, of the size written, reached
// without following a link that may have taken its place since.
void restoreOwner(const Owner &before, qint64 size)
{
#ifdef Q_OS_UNIX
    if (!before.exists || before.user == ::geteuid())
        return;
    const int fd = ::open(QFile::encodeName(before.target).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat written = {};
    if (::fstat(fd, &written) == 0 && S_ISREG(written.st_mode) && written.st_uid == ::geteuid() &&
        written.st_size == size && ::fchown(fd, before.user, before.group) != 0) {
        // The file stays the writer's; it was written all the same.
    }
    ::close(fd);
#else
    Q_UNUSED(before);
    Q_UNUSED(size);
#endif
}

} // namespace

bool writeFileAtomically(const QString &path, const QByteArray &data, InPlace inPlace)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return inPlace == InPlace::WhenFolderIsClosed && onlyFileIsWritable(path) &&
               writeInPlace(path, data);
    }
    // The data is flushed here, not by commit(): commit() renames the
    // temporary file over the target even when its own flush fails, so a
    // full disk replaced a small profile by an empty or cut one and the save
    // counted as done.
    if (file.write(data) != data.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    const Owner before(path);
    if (!file.commit())
        return false;
    restoreOwner(before, data.size());
    return true;
}

bool writeTextFile(const QString &path, const QString &text, InPlace inPlace)
{
    return writeFileAtomically(path, encodeTextForDisk(text), inPlace);
}

} // namespace kelv
