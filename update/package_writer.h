#pragma once

#include "update/package_format.h"

#include <QByteArray>
#include <QByteArrayView>
#include <memory>

class QIODevice;

namespace kelv::package {

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

} // namespace kelv::package
