#include "update/package_format.h"

#include "platform/shell_operations.h"
#include "update/file_modes.h"
#include "update/update_log.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QtEndian>
#include <algorithm>
#include <lzma.h>

namespace kelv::package {
namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_5_1;
// The largest LZMA dictionary the reader sets up.
constexpr quint32 kMaxDictionarySize = 64u << 20;

quint32 statedLength(const QByteArray &file)
{
    return qFromLittleEndian<quint32>(file.constData() + kLengthOffset);
}

bool digestMatches(const QByteArray &file)
{
    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(file).sliced(kPropertiesOffset), QCryptographicHash::Sha1);
    return digest == QByteArrayView(file).sliced(kDigestOffset, 20);
}

bool decodePayload(const QByteArray &file, QByteArray *payload, int *code)
{
    return lzmaDecompress(file.mid(kPropertiesOffset, 5), file.constData() + kDataOffset,
                          file.size() - kDataOffset, statedLength(file), payload, code);
}

bool isUnsafeComponent(const QString &part)
{
    return part == QLatin1String("..");
}

// A control character (NUL, line breaks, escapes, DEL and the C1 range) has no
// place in a file name: the system would end a name at a NUL, and a line
// break could forge lines of the Updater's journal.
bool holdsControlCharacter(const QString &name)
{
    return std::any_of(name.cbegin(), name.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

QByteArray encodePayload(const Content &content)
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream.setVersion(kStreamVersion);
    stream << content.version << quint32(content.entries.size());
    for (const Entry &entry : content.entries)
        stream << entry.storedName << quint32(entry.content.size()) << entry.content;
    return payload;
}

bool lzmaCompress(const QByteArray &data, int preset, bool endMarker, QByteArray *properties,
                  QByteArray *stream)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, uint32_t(preset)))
        return false;
    options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK)
        return false;
    QByteArray out;
    out.resize(data.size() + data.size() / 3 + 4096);
    strm.next_in = reinterpret_cast<const uint8_t *>(data.constData());
    strm.avail_in = size_t(data.size());
    strm.next_out = reinterpret_cast<uint8_t *>(out.data());
    strm.avail_out = size_t(out.size());
    lzma_ret ret;
    while ((ret = lzma_code(&strm, LZMA_FINISH)) == LZMA_OK) {
        if (strm.avail_out == 0) {
            const qsizetype used = out.size();
            out.resize(used * 2);
            strm.next_out = reinterpret_cast<uint8_t *>(out.data()) + used;
            strm.avail_out = size_t(out.size() - used);
        }
    }
    const qsizetype produced = qsizetype(strm.total_out);
    lzma_end(&strm);
    if (ret != LZMA_STREAM_END)
        return false;
    out.resize(produced);
    *stream = out;
    // The 5 properties bytes of the LZMA format.
    properties->resize(5);
    (*properties)[0] = char((options.pb * 5 + options.lp) * 9 + options.lc);
    qToLittleEndian<quint32>(options.dict_size, properties->data() + 1);
    return true;
}

bool lzmaDecompress(const QByteArray &properties, const char *data, qsizetype size, quint32 length,
                    QByteArray *out, int *code)
{
    *code = 0;
    out->clear();
    if (properties.size() != 5) {
        *code = LZMA_OPTIONS_ERROR;
        return false;
    }
    auto d = static_cast<unsigned char>(properties.at(0));
    if (d >= 9 * 5 * 5) {
        *code = LZMA_OPTIONS_ERROR;
        return false;
    }
    lzma_options_lzma options{};
    options.lc = d % 9;
    d /= 9;
    options.lp = d % 5;
    options.pb = d / 5;
    // The decoder allocates the whole dictionary up front, and the header's
    // size is whatever the file says (up to 4 GiB). No match can reach back
    // further than the data decoded so far, so a dictionary as large as the
    // stated length decodes the same; beyond the largest our packer uses
    // (preset 9: 64 MiB) the package is refused instead of allocated.
    const quint32 stated = qFromLittleEndian<quint32>(properties.constData() + 1);
    options.dict_size = qMax<quint32>(qMin(stated, length), LZMA_DICT_SIZE_MIN);
    if (options.dict_size > kMaxDictionarySize) {
        *code = LZMA_MEMLIMIT_ERROR;
        return false;
    }
    // Known decoded size; an end marker right after it is accepted too.
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options.ext_size_low = length;
    options.ext_size_high = 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_decoder(&strm, filters);
    if (ret != LZMA_OK) {
        *code = int(ret);
        return false;
    }
    // The output grows as data decodes, so a corrupt length field cannot make
    // us allocate gigabytes up front.
    constexpr qsizetype kStep = 16 * 1024 * 1024;
    out->resize(qMin<qsizetype>(qsizetype(length), kStep));
    strm.next_in = reinterpret_cast<const uint8_t *>(data);
    strm.avail_in = size_t(size);
    strm.next_out = reinterpret_cast<uint8_t *>(out->data());
    strm.avail_out = size_t(out->size());
    for (;;) {
        ret = lzma_code(&strm, LZMA_FINISH);
        if (ret != LZMA_OK)
            break;
        if (strm.avail_out == 0) {
            const qsizetype used = out->size();
            if (used >= qsizetype(length)) {
                // Output complete but the decoder wants to go on.
                ret = LZMA_DATA_ERROR;
                break;
            }
            out->resize(qMin<qsizetype>(qsizetype(length), used + kStep));
            strm.next_out = reinterpret_cast<uint8_t *>(out->data()) + used;
            strm.avail_out = size_t(out->size() - used);
        } else if (strm.avail_in == 0) {
            ret = LZMA_BUF_ERROR; // input ended early
            break;
        }
    }
    const quint64 produced = strm.total_out;
    const size_t leftover = strm.avail_in;
    lzma_end(&strm);
    if (ret != LZMA_STREAM_END) {
        *code = int(ret);
        out->clear();
        return false;
    }
    if (produced != length || leftover != 0) {
        // The stream holds a different amount of data than the header states.
        *code = -1;
        out->clear();
        return false;
    }
    out->resize(qsizetype(produced));
    return true;
}

QByteArray buildPackage(const Content &content, int preset, bool endMarker)
{
    const QByteArray payload = encodePayload(content);
    QByteArray properties;
    QByteArray stream;
    if (!lzmaCompress(payload, preset, endMarker, &properties, &stream))
        return QByteArray();
    QByteArray tail = properties;
    char length[4];
    qToLittleEndian<quint32>(quint32(payload.size()), length);
    tail.append(length, 4);
    tail += stream;
    QByteArray file(kReservedSize, '\0');
    file += QCryptographicHash::hash(tail, QCryptographicHash::Sha1);
    file += tail;
    return file;
}

QString relativePathOf(const QString &storedName, bool *unsafe)
{
    *unsafe = false;
    if (storedName.startsWith(QLatin1Char('/')) || storedName.startsWith(QLatin1Char('\\')) ||
        (storedName.size() >= 2 && storedName.at(1) == QLatin1Char(':')) ||
        holdsControlCharacter(storedName)) {
        *unsafe = true;
        return QString();
    }
    // Backslashes count as separators too: a name meant to climb out on
    // Windows is refused everywhere. Split by characters, not by a regular
    // expression: a name that is not valid UTF-16 (a lone surrogate) matches
    // no expression at all, and its ".." parts went unseen.
    QString separated = storedName;
    separated.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList all = separated.split(QLatin1Char('/'));
    for (const QString &part : all) {
        if (isUnsafeComponent(part)) {
            *unsafe = true;
            return QString();
        }
    }
    QStringList parts = storedName.split(QLatin1Char('/'));
    parts.removeFirst();
    return parts.join(QLatin1Char('/'));
}

bool PackageReader::fail(const QString &error, const QString &reason)
{
    m_error = QStringLiteral("Update Error: ") + error;
    m_reason = reason;
    return false;
}

bool PackageReader::verify(const TrustedKeys &keys)
{
    if (m_file.size() < kMinimumSize)
        return fail(QStringLiteral("package is shorter than %1 bytes").arg(kMinimumSize),
                    QStringLiteral("the package is incomplete"));
    if (keys.isEmpty())
        return fail(QStringLiteral("no trusted update key in %1: updates are not set up")
                        .arg(TrustedKeys::defaultPath()),
                    QStringLiteral("updates are not set up (no trusted update key)"));
    switch (checkSignature(m_file, keys)) {
    case SignatureCheck::Valid:
        break;
    case SignatureCheck::TooShort:
        return fail(QStringLiteral("package is shorter than %1 bytes").arg(kMinimumSize),
                    QStringLiteral("the package is incomplete"));
    case SignatureCheck::NotSigned:
        return fail(QStringLiteral("update file is not signed (no KELVSIG1 signature)"),
                    QStringLiteral("the package is not signed"));
    case SignatureCheck::UntrustedKey:
        return fail(QStringLiteral("update file is signed by a key that is not trusted: %1")
                        .arg(encodePublicKey(signerOf(m_file))),
                    QStringLiteral("the package is signed by an unknown key"));
    case SignatureCheck::BadSignature:
        return fail(QStringLiteral("bad signature of update file!"),
                    QStringLiteral("the package's signature does not match its content"));
    }
    return verifyContent();
}

bool PackageReader::verifyUnsigned()
{
    if (m_file.size() < kMinimumSize)
        return fail(QStringLiteral("package is shorter than %1 bytes").arg(kMinimumSize),
                    QStringLiteral("the package is incomplete"));
    return verifyContent();
}

bool PackageReader::verifyContent()
{
    if (!digestMatches(m_file))
        return fail(QStringLiteral("bad SHA1 hash of update file!"),
                    QStringLiteral("the package is damaged"));
    if (payloadLength() > kMaxPayloadLength)
        return fail(QStringLiteral("update payload of %1 bytes exceeds the limit of %2 bytes")
                        .arg(payloadLength())
                        .arg(kMaxPayloadLength),
                    QStringLiteral("the package is too large"));
    return true;
}

quint32 PackageReader::payloadLength() const
{
    return m_file.size() >= kMinimumSize ? statedLength(m_file) : 0;
}

bool PackageReader::decode()
{
    int code = 0;
    if (!decodePayload(m_file, &m_payload, &code))
        return fail(QStringLiteral("could not uncompress lzma, code: %1").arg(code),
                    QStringLiteral("the package is damaged"));
    m_file.clear(); // only the payload is needed from here on
    m_stream = std::make_unique<QDataStream>(m_payload);
    m_stream->setVersion(kStreamVersion);
    return true;
}

bool PackageReader::readHeader()
{
    *m_stream >> m_version;
    if (m_stream->status() != QDataStream::Ok)
        return fail(QStringLiteral("cant read version from downloaded stream, status: %1")
                        .arg(int(m_stream->status())),
                    QStringLiteral("the package is damaged"));
    *m_stream >> m_count;
    if (m_stream->status() != QDataStream::Ok)
        return fail(QStringLiteral("cant read files count from downloaded stream, status: %1")
                        .arg(int(m_stream->status())),
                    QStringLiteral("the package is damaged"));
    if (m_count == 0)
        return fail(QStringLiteral("update is empty!"), QStringLiteral("the package is empty"));
    return true;
}

bool PackageReader::readEntry(Entry *entry, QString *relative)
{
    quint32 size = 0;
    *m_stream >> entry->storedName >> size >> entry->content;
    if (m_stream->status() != QDataStream::Ok)
        return fail(QStringLiteral("cant read file from downloaded stream, status: %1")
                        .arg(int(m_stream->status())),
                    QStringLiteral("the package is damaged"));
    if (quint32(entry->content.size()) != size)
        return fail(QStringLiteral("bad file size %1 not matching data size %2")
                        .arg(size)
                        .arg(entry->content.size()),
                    QStringLiteral("the package is damaged"));
    bool unsafe = false;
    *relative = relativePathOf(entry->storedName, &unsafe);
    if (unsafe)
        return fail(QStringLiteral("unsafe file name '%1' in update").arg(entry->storedName),
                    QStringLiteral("the package names a file outside its folder"));
    ++m_read;
    return true;
}

bool readPackage(const QByteArray &file, const TrustedKeys &keys, Content *content, QString *error)
{
    PackageReader reader(file);
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
    if (!ok) {
        *error = reader.error().mid(int(qstrlen("Update Error: ")));
        return false;
    }
    content->version = reader.version();
    return true;
}

bool hasFreeSpace(const QString &folder, qint64 bytes)
{
    QStorageInfo storage(folder);
    storage.refresh();
    // An unknown file system (-1) cannot promise anything.
    return storage.isValid() && storage.bytesAvailable() >= bytes;
}

void deleteFolderTree(const QString &path)
{
    platform::deleteFolderTree(path.toStdString());
}

namespace {

void logError(const QString &text)
{
    qCInfo(lcPspecificWnd).noquote() << text;
}

// Writes one file below the temp folder; false after logging the failure.
bool writeEntry(const QString &tempFolder, const Entry &entry, const QString &relative)
{
    if (entry.storedName.contains(QLatin1Char('/'))) {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            QDir().mkpath(tempFolder + QLatin1Char('/') + relative.left(slash));
    }
    const QString target = tempFolder + QLatin1Char('/') + relative;
    QFile output(target);
    if (relative.isEmpty() || QFileInfo(target).isDir() || !output.open(QIODevice::WriteOnly)) {
        logError(QStringLiteral("Update Error: cant open file '%1' for writing")
                     .arg(tempFolder + QLatin1Char('/') + entry.storedName));
        return false;
    }
    if (output.write(entry.content) < qint64(entry.content.size())) {
        output.close();
        logError(QStringLiteral("Update Error: cant write file '%1'")
                     .arg(tempFolder + QLatin1Char('/') + entry.storedName));
        return false;
    }
    output.close();
    // The package stores no modes: programs become executable by their content.
    if (!install::settleInstalledPermissions(target, std::nullopt)) {
        logError(QStringLiteral("Update Error: cant set the permissions of '%1'").arg(target));
        return false;
    }
    return true;
}

} // namespace

bool unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                       const TrustedKeys &keys, QString *version, QString *refusal)
{
    QString ignored;
    QString &reason = refusal ? *refusal : ignored;
    QByteArray file;
    {
        QFile input(packagePath);
        if (!input.open(QIODevice::ReadOnly)) {
            logError(QStringLiteral("Update Erro: cant read updates file!"));
            reason = QStringLiteral("the package cannot be read");
            return false;
        }
        file = input.readAll();
        if (file.size() < kMinimumSize) {
            reason = QStringLiteral("the package is incomplete");
            return false;
        }
    }

    const QString kind = QDir::cleanPath(QFileInfo(kindFolder).absoluteFilePath());
    const QString tempFolder = kind + QStringLiteral("/temp");
    const QString readyFolder = kind + QStringLiteral("/ready");
    deleteFolderTree(tempFolder);
    deleteFolderTree(readyFolder);
    if (QFileInfo::exists(tempFolder) || QFileInfo::exists(readyFolder)) {
        reason = QStringLiteral("the update folder cannot be cleared");
        return false;
    }

    PackageReader reader(file);
    file.clear();
    auto failed = [&reader, &reason] {
        logError(reader.error());
        reason = reader.reason();
        return false;
    };
    if (!reader.verify(keys))
        return failed();
    // The payload and then its files take about its length twice over while
    // unpacking; at least the files must fit.
    if (!hasFreeSpace(kind, qint64(reader.payloadLength()))) {
        logError(QStringLiteral("Update Error: not enough free space in '%1' for %2 bytes")
                     .arg(kind)
                     .arg(reader.payloadLength()));
        reason = QStringLiteral("there is not enough free disk space");
        return false;
    }
    if (!reader.decode())
        return failed();
    if (!QDir().mkpath(tempFolder)) {
        reason = QStringLiteral("the update folder cannot be written");
        return false;
    }
    if (!reader.readHeader())
        return failed();
    for (quint32 i = 0; i < reader.fileCount(); ++i) {
        Entry entry;
        QString relative;
        if (!reader.readEntry(&entry, &relative))
            return failed();
        if (!writeEntry(tempFolder, entry, relative)) {
            reason = QStringLiteral("a file of the package cannot be written");
            return false;
        }
    }

    if (!QDir().rename(tempFolder, readyFolder)) {
        logError(QStringLiteral("Update Error: cant rename temp dir '%1' to ready dir '%2'")
                     .arg(tempFolder, readyFolder));
        reason = QStringLiteral("the update folder cannot be written");
        return false;
    }
    deleteFolderTree(tempFolder);
    if (!QFile::remove(packagePath)) {
        reason = QStringLiteral("the package file cannot be removed");
        return false;
    }
    *version = reader.version();
    return true;
}

} // namespace kelv::package
