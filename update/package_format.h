#pragma once

// The update package format, shared by the package reader and the packer.
//
//   offset 0    128 bytes  reserved (zeros)
//   offset 128   20 bytes  SHA-1 of bytes 148 to the end
//   offset 148    5 bytes  LZMA properties (lc/lp/pb byte, 32-bit dictionary size)
//   offset 153    4 bytes  payload length after decompression (little-endian)
//   offset 157    rest     raw LZMA stream (end marker optional)
//
// The payload is a QDataStream (version 14, big-endian): version string,
// quint32 file count (at least 1), then per file the stored name, quint32
// size and the content as QByteArray. The first component of a stored name is
// dropped on unpacking.

#include <QByteArray>
#include <QList>
#include <QString>

namespace kelv::package {

constexpr int kReservedSize = 128;
constexpr int kDigestOffset = 128;
constexpr int kPropertiesOffset = 148;
constexpr int kLengthOffset = 153;
constexpr int kDataOffset = 157;
constexpr int kMinimumSize = 158;

struct Entry
{
    QString storedName;
    QByteArray content;
};

struct Content
{
    QString version;
    QList<Entry> entries;
};

// The payload stream of a version and its files.
QByteArray encodePayload(const Content &content);

// Raw LZMA: compresses data with the given preset (0..9) and returns the
// stream, with or without an end marker; *properties receives the 5
// properties bytes.
bool lzmaCompress(const QByteArray &data, int preset, bool endMarker, QByteArray *properties,
                  QByteArray *stream);

// Decodes a raw LZMA stream whose decoded length is known. Fails (with a
// liblzma result code in *code, or -1 for a length mismatch) when the stream is
// corrupt, ends before `length` bytes, or carries more data than `length`.
bool lzmaDecompress(const QByteArray &properties, const char *data, qsizetype size, quint32 length,
                    QByteArray *out, int *code);

// A whole package file for content (empty on a compression failure).
QByteArray buildPackage(const Content &content, int preset = 6, bool endMarker = false);

// The relative path a stored name unpacks to (first component dropped), or an
// empty string when the name does not yield a usable path. *unsafe is set when
// the name is absolute, has a ".." component or holds a control character (NUL,
// line breaks...): such a package is refused.
QString relativePathOf(const QString &storedName, bool *unsafe);

// Checks a package completely (digest, decode, stream, sizes, names) without
// writing anything. On failure *error holds the reason.
bool readPackage(const QByteArray &file, Content *content, QString *error);

// The package reader: verifies the package file and unpacks it into
// kindFolder + "/temp", which becomes kindFolder + "/ready". Logs every
// failure under pspecific_wnd with the reader's messages. On success the
// package file is deleted and *version holds its version string.
bool unpackPackageFile(const QString &packagePath, const QString &kindFolder, QString *version);

// Deletes a folder with all its contents, silently.
void deleteFolderTree(const QString &path);

} // namespace kelv::package
