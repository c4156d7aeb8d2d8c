#pragma once

#include <QByteArray>
#include <QString>

namespace kelv {

// The profile export file ("pfd"): one node of a profile, exported by the
// page and imported again, possibly on another machine. A Qt data stream of
// version 14 (Qt_5_1, big-endian):
//   quint32    magic 0x0A0B0C0D
//   QByteArray payload (quint32 byte count, then the bytes): the Base64 text
//              (standard alphabet, "=" padded) of the UTF-8 XML text.
namespace ProfileExport {

constexpr quint32 kMagic = 0x0A0B0C0D;

// The largest export file read: the magic, the count and the Base64 of a
// profile text of kMaxProfileBytes. Anything larger is refused unread.
qint64 maxFileBytes();

// The file's bytes for an XML text (UTF-8).
QByteArray encode(const QByteArray &xmlUtf8);

// The XML text (UTF-8) of an export file's bytes. False when the magic is
// wrong, the stream ends early or the payload is not Base64.
bool decode(const QByteArray &fileBytes, QByteArray *xmlUtf8);

// Writes the export file atomically (the old file, if any, stays whole when
// the write fails). False when the file cannot be written.
bool writeFile(const QString &path, const QByteArray &xmlUtf8);

// Reads an export file. False when it cannot be opened, is larger than
// maxFileBytes() or does not decode.
bool readFile(const QString &path, QByteArray *xmlUtf8);

} // namespace ProfileExport
} // namespace kelv
