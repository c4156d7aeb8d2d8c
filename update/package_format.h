#pragma once

// The update package format, shared by the package reader and the packer.
//
//   offset 0     8 bytes  "KELVPKG2"                        } signature
//   offset 8    32 bytes  signer's Ed25519 public key        } (package_signature.h)
//   offset 40   64 bytes  Ed25519 signature of bytes 104-255 }
//   offset 104  16 bytes  kind, ASCII, NUL-padded ("client", "html", "firmware")  } manifest
//   offset 120   4 bytes  product code (little-endian; 4118)                      }
//   offset 124  32 bytes  version, ASCII, NUL-padded, dotted numbers ("2.0.1")    }
//   offset 156   8 bytes  length of the body (the bytes from 256 to the end)      }
//   offset 164  32 bytes  SHA-256 of the body                                     }
//   offset 196  60 bytes  zero                                                    }
//   offset 256   5 bytes  LZMA properties (lc/lp/pb byte, 32-bit dictionary size) } body
//   offset 261   4 bytes  payload length after decompression (little-endian)      }
//   offset 265   rest     raw LZMA stream (end marker optional)                   }
//
// The payload is a QDataStream (version 14, big-endian): version string (the
// manifest's), quint32 file count (at least 1), then per file the stored name,
// quint32 size and the content as QByteArray. The first component of a stored
// name is dropped on unpacking.
//
// The reader streams: it checks the signature of the small manifest, then
// hashes the body from disk, and only then decodes it, writing each file as
// it comes; nothing holds the package or a file of it in memory.

#include "update/package_signature.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>

class QIODevice;

namespace kelv::package {

class PayloadDecoder;

constexpr int kKindOffset = 104;
constexpr int kKindSize = 16;
constexpr int kProductOffset = 120;
constexpr int kVersionOffset = 124;
constexpr int kVersionSize = 32;
constexpr int kBodyLengthOffset = 156;
constexpr int kBodyDigestOffset = 164;
constexpr int kBodyDigestSize = 32;
constexpr int kManifestUsedEnd = 196; // zero from here to the end of the header
constexpr int kPropertiesOffset = kHeaderSize;
constexpr int kLengthOffset = kHeaderSize + 5;
constexpr int kDataOffset = kHeaderSize + 9;
constexpr int kMinimumSize = kDataOffset + 1;

// The product the program and its mouse carry (the device library's product
// code); a package for another product is refused.
constexpr quint32 kProductCode = 4118;

// The largest payload (after decompression) a package may state, and the
// largest package file the downloader writes.
constexpr quint32 kMaxPayloadLength = 512u * 1024 * 1024;
constexpr qint64 kMaxPackageSize = 512ll * 1024 * 1024;

// The package kinds, as the manifest and the update folders name them.
QStringList packageKinds();

// Dotted numeric versions: "2", "1.10.3" (decimal parts of at most 9 digits).
bool isDottedVersion(const QString &version);
// Compares two dotted versions part by part (missing parts count as 0, so
// "1.0" equals "1"); negative, 0 or positive.
int compareVersions(const QString &a, const QString &b);
// True when candidate is newer than installed. An installed version that is
// not a dotted version (none known, a mouse in its boot loader) makes every
// candidate newer.
bool isNewerVersion(const QString &candidate, const QString &installed);

struct Entry
{
    QString storedName;
    QByteArray content;
};

struct Content
{
    QString kind = QStringLiteral("client");
    quint32 product = kProductCode;
    QString version;
    QList<Entry> entries;
};

// The signed manifest of a package.
struct Manifest
{
    QString kind;
    quint32 product = 0;
    QString version;
    quint64 bodyLength = 0;
    QByteArray bodyDigest;
};

// What the program accepts in one place: a package of this kind and product,
// newer than the installed version unless the user chose to install an older
// (or the same) one.
struct Expectation
{
    QString kind;
    quint32 product = kProductCode;
    QString installedVersion;
    bool allowOlder = false;
};

// Raw LZMA: compresses data with the given preset (0..9; the dictionary is
// kept within what the reader sets up) and returns the stream, with or
// without an end marker; *properties receives the 5 properties bytes.
bool lzmaCompress(const QByteArray &data, int preset, bool endMarker, QByteArray *properties,
                  QByteArray *stream);

// Decodes a raw LZMA stream whose decoded length is known. Fails (with a
// liblzma result code in *code, or -1 for a length mismatch) when the stream is
// corrupt, ends before `length` bytes, or carries more data than `length`.
bool lzmaDecompress(const QByteArray &properties, const char *data, qsizetype size, quint32 length,
                    QByteArray *out, int *code);

// Writes a package piece by piece into a device that can be read back and
// sought (a file opened for reading and writing): the header, then each
// file's name and size and its content in any number of pieces, then
// finish(), which completes the manifest. The package is unsigned
// (SecretKey::signPackage() signs its header). Nothing is held in memory.
class PackageWriter
{
public:
    PackageWriter(QIODevice *out, int preset = 6, bool endMarker = false);
    ~PackageWriter();
    PackageWriter(const PackageWriter &) = delete;
    PackageWriter &operator=(const PackageWriter &) = delete;

    // False for a kind that is not one of packageKinds() or a version that
    // is not a dotted version.
    bool begin(const QString &kind, quint32 product, const QString &version, quint32 fileCount);
    bool addFile(const QString &storedName, quint32 size);
    bool write(QByteArrayView piece);
    // False on a write failure, a payload above kMaxPayloadLength, or files
    // whose content did not add up to their sizes.
    bool finish();

private:
    bool feed(QByteArrayView data, bool last);

    struct State;
    std::unique_ptr<State> m_state;
};

// A whole package file for content, unsigned (PackageWriter into memory).
// Empty when the writer refuses it.
QByteArray buildPackage(const Content &content, int preset = 6, bool endMarker = false);

// The manifest of a package header, and the header of a manifest (the 256
// bytes with the signature area zero).
bool parseManifest(QByteArrayView header, Manifest *manifest, QString *error);
QByteArray headerOf(const Manifest &manifest);

// The relative path a stored name unpacks to (first component dropped), or an
// empty string when the name does not yield a usable path. *unsafe is set when
// the name breaks the rule every installer applies to paths
// (install::isSafeRelativePath: absolute, a drive, a backslash, an empty, "."
// or ".." component, a control character): such a package is refused.
QString relativePathOf(const QString &storedName, bool *unsafe);

// The one reader of package files, used by the program's unpacker, by
// kelvpack and by the fuzz target. It reads from a seekable device (the
// package file) in small pieces. Steps, each only after the previous one
// succeeded:
//   verify()     length, signature (KELVPKG2, trusted signer, Ed25519) of the
//                manifest, then the body's length and SHA-256, and the
//                payload bound; nothing has been decompressed yet
//   accepts()    kind, product and version against what the program accepts
//   decode()     starts decoding the LZMA payload
//   readHeader() version string (the manifest's) and file count (at least 1)
//   readEntry()  one file after another: name and size, then readContent()
//   finish()     the payload is used up and the body did not change meanwhile
// A failing step leaves error() (the log line, "Update Error: ...") and
// reason() (a short text for people).
class PackageReader
{
public:
    // Every long step (hashing the body, decoding the payload) stops within a
    // piece of kChunk bytes once the reading thread is asked to stop
    // (QThread::requestInterruption()): it fails with stopped() true, and the
    // reason "the unpack was stopped".
    explicit PackageReader(QIODevice *file);
    ~PackageReader();
    PackageReader(const PackageReader &) = delete;
    PackageReader &operator=(const PackageReader &) = delete;

    bool verify(const TrustedKeys &keys);
    // The same checks without the signature, for listing and signing a
    // package. Never used before installing anything.
    bool verifyUnsigned();
    const Manifest &manifest() const { return m_manifest; }
    // False for a package of another kind or product, and for one that is not
    // newer than the installed version (notNewer() tells that case apart).
    bool accepts(const Expectation &expected);
    bool notNewer() const { return m_notNewer; }
    quint32 payloadLength() const { return m_payloadLength; }
    bool decode();
    bool readHeader();
    QString version() const { return m_manifest.version; }
    quint32 fileCount() const { return m_count; }
    // The next file's stored name, its path below the ready folder (empty
    // when the name gives none: the unpacker cannot open it) and its size.
    // Unsafe names fail. Its content follows with readContent().
    bool readEntry(QString *storedName, QString *relative, quint32 *size);
    // Hands the current file's content to sink piece by piece; a sink that
    // answers false stops the reading (the caller says why).
    bool readContent(const std::function<bool(QByteArrayView)> &sink);
    // readEntry() and the whole content in memory (small packages only).
    bool readEntry(Entry *entry, QString *relative);
    bool finish();

    QString error() const { return m_error; }
    QString reason() const { return m_reason; }
    bool stopped() const { return m_stopped; }

private:
    bool readHeaderBlock();
    bool verifyBody();
    bool fail(const QString &error, const QString &reason);
    bool streamFailed(const QString &what, int status);
    bool stop();
    bool readU32(quint32 *value);
    bool readString(QString *text, quint32 maxBytes);

    QIODevice *m_file;
    QByteArray m_header;
    Manifest m_manifest;
    quint32 m_payloadLength = 0;
    bool m_notNewer = false;
    std::unique_ptr<PayloadDecoder> m_decoder;
    quint32 m_count = 0;
    quint32 m_read = 0;
    quint32 m_contentLeft = 0;
    bool m_contentPending = false;
    bool m_stopped = false;
    QSet<QString> m_names; // the paths read so far, case-folded
    QString m_error;
    QString m_reason;
};

// Checks a package completely (signature, digest, decode, stream, sizes,
// names) without writing anything. On failure *error holds the reason.
bool readPackage(const QByteArray &file, const TrustedKeys &keys, Content *content, QString *error);

// Whether the folder's file system has at least bytes free.
bool hasFreeSpace(const QString &folder, qint64 bytes);

struct UnpackResult
{
    enum Outcome {
        Unpacked, // (checkPackageFile: every check passed)
        Refused,  // reason says why; logged under pspecific_wnd
        NotNewer, // a good package whose version is not newer than the installed one
    };
    Outcome outcome = Refused;
    QString version; // the package's (Unpacked, NotNewer)
    QString reason;  // for people (Refused, NotNewer)
};

// The package reader: verifies the package file against keys and expected
// and unpacks it into kindFolder + "/temp", which becomes kindFolder +
// "/ready" (an earlier ready folder is replaced only then). The package file
// is left where it is. A client package's Resources/update-keys.txt keeps the
// installed file's withdrawals (TrustedKeys::carryWithdrawals), and an older
// version chosen by the user leaves the installed keys as they are.
UnpackResult unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                               const TrustedKeys &keys, const Expectation &expected);

// The same checks and the same reading, writing nothing: each file's content
// goes to sink (relative path, a piece of it) when one is given; a sink that
// answers false stops the reading (Refused, reason empty: the caller says why).
using FileSink = std::function<bool(const QString &relative, QByteArrayView piece)>;
UnpackResult checkPackageFile(const QString &packagePath, const TrustedKeys &keys,
                              const Expectation &expected, const FileSink &sink = {});

// Deletes a folder with all its contents, silently.
void deleteFolderTree(const QString &path);

} // namespace kelv::package
