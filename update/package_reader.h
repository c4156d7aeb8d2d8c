#pragma once

#include "update/package_format.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>

class QIODevice;

namespace kelv::package {

class PayloadDecoder;

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

} // namespace kelv::package
