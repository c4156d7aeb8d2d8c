#include "common/text_file.h"

#include <QFile>
#include <QSaveFile>

namespace kelv {

namespace {

QString decodeText(QByteArray bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    bytes.replace("\r\n", "\n");
    return QString::fromUtf8(bytes);
}

} // namespace

bool readTextFile(const QString &path, QString *text)
{
    text->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = decodeText(file.readAll());
    return true;
}

TextFileRead readTextFile(const QString &path, QString *text, qsizetype maxBytes)
{
    text->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
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

bool writeFileAtomically(const QString &path, const QByteArray &data, InPlace inPlace)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(inPlace == InPlace::WhenFolderIsClosed);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // The data is flushed here, not by commit(): commit() renames the
    // temporary file over the target even when its own flush fails, so a
    // full disk replaced a small profile by an empty or cut one and the save
    // counted as done.
    if (file.write(data) != data.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool writeTextFile(const QString &path, const QString &text, InPlace inPlace)
{
    return writeFileAtomically(path, encodeTextForDisk(text), inPlace);
}

} // namespace kelv
