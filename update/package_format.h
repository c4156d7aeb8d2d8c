#pragma once

// The update package format, shared by the package reader and the packer.
//
//   offset 0    128 bytes  signature area (package_signature.h)
//   offset 128   20 bytes  SHA-1 of bytes 148 to the end
//   offset 148    5 bytes  LZMA properties (lc/lp/pb byte, 32-bit dictionary size)
//   offset 153    4 bytes  payload length after decompression (little-endian)
//   offset 157    rest     raw LZMA stream (end marker optional)
//
// The payload is a QDataStream (version 14, big-endian): version string,
// quint32 file count (at least 1), then per file the stored name, quint32
// size and the content as QByteArray. The first component of a stored name is
// dropped on unpacking.

#include "update/package_signature.h"

#include <QByteArray>
#include <QDataStream>
#include <QList>
#include <QString>
#include <memory>

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

// A whole package file for content, unsigned (empty on a compression
// failure). SecretKey::signPackage() signs it.
QByteArray buildPackage(const Content &content, int preset = 6, bool endMarker = false);

// The relative path a stored name unpacks to (first component dropped), or an
// empty string when the name does not yield a usable path. *unsafe is set when
// the name is absolute, has a ".." component or holds a control character (NUL,
// line breaks...): such a package is refused.
QString relativePathOf(const QString &storedName, bool *unsafe);

// The largest payload (after decompression) a package may state.
constexpr quint32 kMaxPayloadLength = 512u * 1024 * 1024;

// The one reader of package files, used by the program's unpacker, by
// kelvpack and by the fuzz target. Steps, each only after the previous one
// succeeded:
//   verify()     length, signature (KELVSIG1, trusted signer, Ed25519), SHA-1,
//                payload bound; nothing has been decompressed yet
//   decode()     the LZMA payload
//   readHeader() version string and file count (at least 1)
//   readEntry()  one file after another
// A failing step leaves error() (the log line, "Update Error: ...") and
// reason() (a short text for people).
class PackageReader
{
public:
    explicit PackageReader(const QByteArray &file) : m_file(file) {}

    bool verify(const TrustedKeys &keys);
    // The same checks without the signature, for listing a package that is
    // not signed yet. Never used before installing anything.
    bool verifyUnsigned();
    quint32 payloadLength() const;
    bool decode();
    bool readHeader();
    QString version() const { return m_version; }
    quint32 fileCount() const { return m_count; }
    // The next file; *relative receives its path below the ready folder, or
    // an empty string when the name gives none (the unpacker cannot open it).
    // Unsafe names (absolute, "..", NUL) fail.
    bool readEntry(Entry *entry, QString *relative);

    QString error() const { return m_error; }
    QString reason() const { return m_reason; }

private:
    bool verifyContent();
    bool fail(const QString &error, const QString &reason);

    QByteArray m_file;
    QByteArray m_payload;
    std::unique_ptr<QDataStream> m_stream;
    QString m_version;
    quint32 m_count = 0;
    quint32 m_read = 0;
    QString m_error;
    QString m_reason;
};

// Checks a package completely (signature, digest, decode, stream, sizes,
// names) without writing anything. On failure *error holds the reason.
bool readPackage(const QByteArray &file, const TrustedKeys &keys, Content *content, QString *error);

// Whether the folder's file system has at least bytes free.
bool hasFreeSpace(const QString &folder, qint64 bytes);

// The package reader: verifies the package file and unpacks it into
// kindFolder + "/temp", which becomes kindFolder + "/ready". Logs every
// failure under pspecific_wnd with the reader's messages; *refusal (when
// given) receives the reader's short reason. On success the package file is
// deleted and *version holds its version string.
bool unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                       const TrustedKeys &keys, QString *version, QString *refusal = nullptr);

// Deletes a folder with all its contents, silently.
void deleteFolderTree(const QString &path);

} // namespace kelv::package
