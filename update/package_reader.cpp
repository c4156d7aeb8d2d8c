#include "update/package_reader.h"

#include "update/payload_codec.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QtEndian>

namespace kelv::package {
namespace {

// The longest stored name (bytes of UTF-16).
constexpr quint32 kMaxNameBytes = 64 * 1024;
// QDataStream's status values, which the log lines name.
constexpr int kReadPastEnd = 1;
constexpr int kReadCorruptData = 2;
constexpr quint32 kNullLength = 0xFFFFFFFFu;

QString describeKind(const QString &kind)
{
    if (kind == QLatin1String("client"))
        return QStringLiteral("a program");
    if (kind == QLatin1String("html"))
        return QStringLiteral("a page");
    if (kind == QLatin1String("firmware"))
        return QStringLiteral("a firmware");
    return QStringLiteral("an unknown kind of");
}

bool addUnique(QSet<QString> *set, const QString &value)
{
    const qsizetype before = set->size();
    set->insert(value);
    return set->size() != before;
}

} // namespace

PackageReader::PackageReader(QIODevice *file) : m_file(file) {}

PackageReader::~PackageReader() = default;

bool PackageReader::fail(const QString &error, const QString &reason)
{
    m_error = QStringLiteral("Update Error: ") + error;
    m_reason = reason;
    return false;
}

bool PackageReader::readHeaderBlock()
{
    if (m_file->size() < kMinimumSize || !m_file->seek(0))
        return fail(QStringLiteral("package is shorter than %1 bytes").arg(kMinimumSize),
                    QStringLiteral("the package is incomplete"));
    m_header = m_file->read(kHeaderSize);
    if (m_header.size() != kHeaderSize)
        return fail(QStringLiteral("cant read updates file!"),
                    QStringLiteral("the package cannot be read"));
    return true;
}

bool PackageReader::verify(const TrustedKeys &keys)
{
    if (!readHeaderBlock())
        return false;
    if (keys.isEmpty())
        return fail(QStringLiteral("no trusted update key in %1: updates are not set up")
                        .arg(TrustedKeys::defaultPath()),
                    QStringLiteral("updates are not set up (no trusted update key)"));
    switch (checkSignature(m_header, keys)) {
    case SignatureCheck::Valid:
        break;
    case SignatureCheck::TooShort:
        return fail(QStringLiteral("package is shorter than %1 bytes").arg(kMinimumSize),
                    QStringLiteral("the package is incomplete"));
    case SignatureCheck::OldFormat:
        return fail(QStringLiteral("update file has the format of an earlier kelvpack "
                                   "(KELVSIG1); build it again with this version's kelvpack"),
                    QStringLiteral("the package has an outdated format"));
    case SignatureCheck::NotSigned:
        return fail(QStringLiteral("update file is not signed (no KELVPKG2 signature)"),
                    QStringLiteral("the package is not signed"));
    case SignatureCheck::UntrustedKey:
        return fail(QStringLiteral("update file is signed by a key that is not trusted: %1")
                        .arg(encodePublicKey(signerOf(m_header))),
                    QStringLiteral("the package is signed by an unknown key"));
    case SignatureCheck::BadSignature:
        return fail(QStringLiteral("bad signature of update file!"),
                    QStringLiteral("the package's signature does not match its content"));
    }
    return verifyBody();
}

bool PackageReader::verifyUnsigned()
{
    if (!readHeaderBlock())
        return false;
    if (m_header.startsWith(kOldSignatureMagic))
        return fail(QStringLiteral("update file has the format of an earlier kelvpack "
                                   "(KELVSIG1); build it again with this version's kelvpack"),
                    QStringLiteral("the package has an outdated format"));
    return verifyBody();
}

bool PackageReader::verifyBody()
{
    QString why;
    if (!parseManifest(m_header, &m_manifest, &why))
        return fail(QStringLiteral("bad manifest of update file: %1").arg(why),
                    QStringLiteral("the package is damaged"));
    const qint64 size = m_file->size();
    if (quint64(size - kHeaderSize) != m_manifest.bodyLength)
        return fail(QStringLiteral("update file has %1 bytes, its manifest says %2")
                        .arg(size)
                        .arg(m_manifest.bodyLength + kHeaderSize),
                    quint64(size - kHeaderSize) < m_manifest.bodyLength
                        ? QStringLiteral("the package is incomplete")
                        : QStringLiteral("the package is damaged"));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!m_file->seek(kHeaderSize))
        return fail(QStringLiteral("cant read updates file!"),
                    QStringLiteral("the package cannot be read"));
    QByteArray chunk(kChunk, Qt::Uninitialized);
    qint64 left = qint64(m_manifest.bodyLength);
    while (left > 0) {
        if (stopRequested())
            return stop();
        const qint64 got = m_file->read(chunk.data(), qMin(kChunk, left));
        if (got <= 0)
            return fail(QStringLiteral("cant read updates file!"),
                        QStringLiteral("the package cannot be read"));
        hash.addData(QByteArrayView(chunk.constData(), got));
        left -= got;
    }
    if (hash.result() != m_manifest.bodyDigest)
        return fail(QStringLiteral("bad SHA-256 hash of update file!"),
                    QStringLiteral("the package is damaged"));
    if (!m_file->seek(kLengthOffset) || m_file->read(chunk.data(), 4) != 4)
        return fail(QStringLiteral("cant read updates file!"),
                    QStringLiteral("the package cannot be read"));
    m_payloadLength = qFromLittleEndian<quint32>(chunk.constData());
    if (m_payloadLength > kMaxPayloadLength)
        return fail(QStringLiteral("update payload of %1 bytes exceeds the limit of %2 bytes")
                        .arg(m_payloadLength)
                        .arg(kMaxPayloadLength),
                    QStringLiteral("the package is too large"));
    return true;
}

bool PackageReader::accepts(const Expectation &expected)
{
    m_notNewer = false;
    if (m_manifest.kind != expected.kind)
        return fail(QStringLiteral("update file is %1 package (%2), expected %3 package (%4)")
                        .arg(describeKind(m_manifest.kind), m_manifest.kind,
                             describeKind(expected.kind), expected.kind),
                    QStringLiteral("the package is of another kind"));
    if (m_manifest.product != expected.product)
        return fail(QStringLiteral("update file is for product %1, this is product %2")
                        .arg(m_manifest.product)
                        .arg(expected.product),
                    QStringLiteral("the package is for another product"));
    if (!expected.allowOlder && !isNewerVersion(m_manifest.version, expected.installedVersion)) {
        m_notNewer = true;
        return fail(QStringLiteral("update file has version %1, not newer than the installed %2")
                        .arg(m_manifest.version, expected.installedVersion),
                    QStringLiteral("the package's version %1 is not newer than the installed "
                                   "version %2")
                        .arg(m_manifest.version, expected.installedVersion));
    }
    return true;
}

bool PackageReader::decode()
{
    QByteArray head(9, '\0');
    if (!m_file->seek(kPropertiesOffset) || m_file->read(head.data(), head.size()) != head.size())
        return fail(QStringLiteral("cant read updates file!"),
                    QStringLiteral("the package cannot be read"));
    m_decoder =
        std::make_unique<PayloadDecoder>(m_file, qint64(m_manifest.bodyLength) - head.size(), head);
    int code = 0;
    if (!m_decoder->start(QByteArrayView(head).first(5), m_payloadLength, &code))
        return fail(QStringLiteral("could not uncompress lzma, code: %1").arg(code),
                    QStringLiteral("the package is damaged"));
    return true;
}

bool PackageReader::streamFailed(const QString &what, int status)
{
    if (m_decoder->stopped())
        return stop();
    // A failing decoder is the cause whatever the stream was reading.
    if (m_decoder->failed())
        return fail(QStringLiteral("could not uncompress lzma, code: %1").arg(m_decoder->code()),
                    m_decoder->readError() ? QStringLiteral("the package cannot be read")
                                           : QStringLiteral("the package is damaged"));
    return fail(
        QStringLiteral("cant read %1 from downloaded stream, status: %2").arg(what).arg(status),
        QStringLiteral("the package is damaged"));
}

bool PackageReader::stop()
{
    m_stopped = true;
    fail(QString(), QStringLiteral("the unpack was stopped"));
    // No error of the package: its reading was stopped by its owner.
    m_error = QStringLiteral("Update Info: the reading of the package was stopped");
    return false;
}

bool PackageReader::readU32(quint32 *value)
{
    char bytes[4];
    if (m_decoder->read(bytes, 4) != 4)
        return false;
    *value = qFromBigEndian<quint32>(bytes);
    return true;
}

// A QString as QDataStream writes it: a byte length (0xFFFFFFFF for a null
// string), then UTF-16 code units, big-endian.
bool PackageReader::readString(QString *text, quint32 maxBytes)
{
    quint32 length = 0;
    if (!readU32(&length))
        return false;
    if (length == kNullLength) {
        *text = QString();
        return true;
    }
    if (length % 2 != 0 || length > maxBytes)
        return false;
    QByteArray bytes(length, Qt::Uninitialized);
    if (m_decoder->read(bytes.data(), length) != length)
        return false;
    text->resize(length / 2);
    qFromBigEndian<char16_t>(bytes.constData(), length / 2, text->data());
    return true;
}

bool PackageReader::readHeader()
{
    QString version;
    if (!readString(&version, kMaxNameBytes))
        return streamFailed(QStringLiteral("version"),
                            m_decoder->exhausted() ? kReadPastEnd : kReadCorruptData);
    if (!readU32(&m_count))
        return streamFailed(QStringLiteral("files count"), kReadPastEnd);
    if (version != m_manifest.version)
        return fail(QStringLiteral("the payload's version %1 differs from the signed version %2")
                        .arg(version, m_manifest.version),
                    QStringLiteral("the package is damaged"));
    if (m_count == 0)
        return fail(QStringLiteral("update is empty!"), QStringLiteral("the package is empty"));
    return true;
}

bool PackageReader::readEntry(QString *storedName, QString *relative, quint32 *size)
{
    if (m_contentPending && !readContent([](QByteArrayView) { return true; }))
        return false;
    if (m_read >= m_count)
        return streamFailed(QStringLiteral("file"), kReadPastEnd);
    quint32 length = 0;
    if (!readString(storedName, kMaxNameBytes))
        return streamFailed(QStringLiteral("file"),
                            m_decoder->exhausted() ? kReadPastEnd : kReadCorruptData);
    if (!readU32(size) || !readU32(&length))
        return streamFailed(QStringLiteral("file"), kReadPastEnd);
    const quint32 contentLength = length == kNullLength ? 0 : length;
    if (contentLength != *size)
        return fail(QStringLiteral("bad file size %1 not matching data size %2")
                        .arg(*size)
                        .arg(contentLength),
                    QStringLiteral("the package is damaged"));
    bool unsafe = false;
    *relative = relativePathOf(*storedName, &unsafe);
    if (unsafe)
        return fail(QStringLiteral("unsafe file name '%1' in update").arg(*storedName),
                    QStringLiteral("the package names a file outside its folder"));
    // One file per path, also where names differ only in case (one file on
    // Windows): which of two entries would win is no package's content.
    if (!relative->isEmpty() && !addUnique(&m_names, relative->toCaseFolded()))
        return fail(QStringLiteral("file name '%1' appears twice in update").arg(*storedName),
                    QStringLiteral("the package is damaged"));
    m_contentLeft = contentLength;
    m_contentPending = true;
    ++m_read;
    return true;
}

bool PackageReader::readContent(const std::function<bool(QByteArrayView)> &sink)
{
    QByteArray piece;
    while (m_contentLeft > 0) {
        piece.resize(qMin<qint64>(kChunk, m_contentLeft));
        if (m_decoder->read(piece.data(), piece.size()) != piece.size())
            return streamFailed(QStringLiteral("file"), kReadPastEnd);
        m_contentLeft -= quint32(piece.size());
        if (!sink(piece))
            return false;
    }
    m_contentPending = false;
    return true;
}

bool PackageReader::readEntry(Entry *entry, QString *relative)
{
    quint32 size = 0;
    if (!readEntry(&entry->storedName, relative, &size))
        return false;
    entry->content.clear();
    return readContent([entry](QByteArrayView piece) {
        entry->content.append(piece);
        return true;
    });
}

bool PackageReader::finish()
{
    if (m_contentPending && !readContent([](QByteArrayView) { return true; }))
        return false;
    if (!m_decoder->finish())
        return streamFailed(QString(), 0);
    if (m_decoder->digest() != m_manifest.bodyDigest)
        return fail(QStringLiteral("update file changed while it was read"),
                    QStringLiteral("the package is damaged"));
    return true;
}

bool readPackage(const QByteArray &file, const TrustedKeys &keys, Content *content, QString *error)
{
    QByteArray data = file;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    PackageReader reader(&buffer);
    content->entries.clear();
    bool ok = reader.verify(keys) && reader.decode() && reader.readHeader();
    for (quint32 i = 0; ok && i < reader.fileCount(); ++i) {
        Entry entry;
        QString relative;
        ok = reader.readEntry(&entry, &relative);
        if (ok && relative.isEmpty()) {
            *error = QStringLiteral("file name '%1' has no path after its first component")
                         .arg(entry.storedName);
            return false;
        }
        if (ok)
            content->entries.append(entry);
    }
    ok = ok && reader.finish();
    if (!ok) {
        *error = reader.error().mid(int(qstrlen("Update Error: ")));
        return false;
    }
    content->kind = reader.manifest().kind;
    content->product = reader.manifest().product;
    content->version = reader.version();
    return true;
}

} // namespace kelv::package
