#include "bridge/profile_export.h"

#include "common/text_file.h"
#include "common/xml_text.h"

#include <QDataStream>
#include <QFile>
#include <QIODevice>

namespace kelv::ProfileExport {

qint64 maxFileBytes()
{
    return 8 + (qint64(kMaxProfileBytes) + 2) / 3 * 4;
}

QByteArray encode(const QByteArray &xmlUtf8)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_1);
    stream << kMagic << xmlUtf8.toBase64();
    return bytes;
}

namespace {

bool read(QDataStream &stream, QByteArray *xmlUtf8)
{
    stream.setVersion(QDataStream::Qt_5_1);
    quint32 magic = 0;
    stream >> magic;
    if (stream.status() != QDataStream::Ok || magic != kMagic)
        return false;
    QByteArray payload;
    stream >> payload; // a count beyond the end fails here, without allocating it
    if (stream.status() != QDataStream::Ok)
        return false;
    // Strict: a damaged payload is refused instead of decoding to some other text.
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    *xmlUtf8 = decoded.decoded;
    return true;
}

} // namespace

bool decode(const QByteArray &fileBytes, QByteArray *xmlUtf8)
{
    QDataStream stream(fileBytes);
    return read(stream, xmlUtf8);
}

namespace {
// The system would cut a name at a NUL character and use another file.
bool isUsablePath(const QString &path)
{
    return !path.isEmpty() && !path.contains(QChar(0));
}
} // namespace

bool writeFile(const QString &path, const QByteArray &xmlUtf8)
{
    if (!isUsablePath(path))
        return false;
    return writeFileAtomically(path, encode(xmlUtf8));
}

bool readFile(const QString &path, QByteArray *xmlUtf8)
{
    // Only a regular file: opening a named pipe (or a terminal) would wait,
    // and the window with it, until something writes to it.
    QFile file;
    if (!isUsablePath(path) || !openRegularFile(&file, path) || file.size() > maxFileBytes())
        return false;
    // Read from the file itself: a file that is not an export stops after
    // four bytes, whatever its size.
    QDataStream stream(&file);
    return read(stream, xmlUtf8);
}

} // namespace kelv::ProfileExport
