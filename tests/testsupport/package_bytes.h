#pragma once

// Package files put together by hand, for what the packer never writes: a body around a
// payload stream of the test's own, or a package whose body was edited afterwards.
// Header-only (Qt Core and kelv_update), so the fuzz targets use it as well.

#include "update/package_format.h"
#include "update/payload_codec.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QtEndian>

namespace kelv::test {

// A package body around a payload stream as it is given: the LZMA properties, the
// payload's length and the raw LZMA stream (compressed with preset, no end marker).
// Empty when compressing fails.
inline QByteArray packageBody(const QByteArray &payload, int preset)
{
    QByteArray properties;
    QByteArray stream;
    if (!package::lzmaCompress(payload, preset, false, &properties, &stream))
        return QByteArray();
    QByteArray body = properties;
    char length[4];
    qToLittleEndian<quint32>(quint32(payload.size()), length);
    body.append(length, 4);
    return body + stream;
}

// Sets the manifest's body length and SHA-256 to what follows the header now, as a
// vendor's packer would after editing the body. The signature no longer fits: the caller
// signs the package again.
inline void restampBody(QByteArray *package)
{
    const QByteArrayView body = QByteArrayView(*package).sliced(package::kHeaderSize);
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256);
    const quint64 length = quint64(body.size());
    qToLittleEndian<quint64>(length, package->data() + package::kBodyLengthOffset);
    package->replace(package::kBodyDigestOffset, package::kBodyDigestSize, digest);
}

} // namespace kelv::test
