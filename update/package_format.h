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
//
// This header holds the layout and what the manifest says; the writer is in
// package_writer.h, the reader in package_reader.h, the checking and unpacking
// of a package file in package_unpacker.h, the LZMA payload in payload_codec.h.

#include "update/package_signature.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace kelv::package {

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

} // namespace kelv::package
