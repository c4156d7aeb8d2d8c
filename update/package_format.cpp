#include "update/package_format.h"

#include "common/text_file.h"
#include "platform/shell_operations.h"
#include "update/client_install.h"
#include "update/file_modes.h"
#include "update/update_log.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QThread>
#include <QtEndian>
#include <algorithm>
#include <lzma.h>

namespace kelv::package {
namespace {

// The largest LZMA dictionary the reader sets up: with it, reading a package
// of any size stays within a few tens of MiB.
constexpr quint32 kMaxDictionarySize = 32u << 20;
// The piece of the package file read at a time.
constexpr qint64 kChunk = 256 * 1024;
// The longest stored name (bytes of UTF-16).
constexpr quint32 kMaxNameBytes = 64 * 1024;
// QDataStream's status values, which the log lines name.
// The thread that reads a package was asked to stop (the update dialog went).
bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

constexpr int kReadPastEnd = 1;
constexpr int kReadCorruptData = 2;
constexpr quint32 kNullLength = 0xFFFFFFFFu;

const QString kKeysFile = QStringLiteral("Resources/update-keys.txt");

QString kindText(QByteArrayView field)
{
    const qsizetype end = field.indexOf('\0');
    return QString::fromLatin1(end < 0 ? field : field.first(end));
}

// A NUL-padded text field: the text, then only NULs.
bool paddedText(QByteArrayView field, QString *text)
{
    const qsizetype end = field.indexOf('\0');
    const QByteArrayView used = end < 0 ? field : field.first(end);
    if (end >= 0 && field.sliced(end).count('\0') != field.size() - end)
        return false;
    if (!std::all_of(used.begin(), used.end(), [](char c) { return c > 0x20 && c < 0x7f; }))
        return false;
    *text = QString::fromLatin1(used);
    return true;
}

void setPaddedText(QByteArray *header, int offset, int size, const QString &text)
{
    const QByteArray bytes = text.toLatin1().left(size);
    header->replace(offset, bytes.size(), bytes);
}

// The encoder's options for a preset. The dictionary is kept within what the
// reader sets up (presets 8 and 9 would ask for more): what is packed here can
// always be read.
bool encoderOptions(int preset, bool endMarker, lzma_options_lzma *options)
{
    if (lzma_lzma_preset(options, uint32_t(preset)))
        return false;
    options->dict_size = qMin<uint32_t>(options->dict_size, kMaxDictionarySize);
    options->ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    return true;
}

// The 5 properties bytes of the LZMA format.
QByteArray propertiesOf(const lzma_options_lzma &options)
{
    QByteArray properties(5, '\0');
    properties[0] = char((options.pb * 5 + options.lp) * 9 + options.lc);
    qToLittleEndian<quint32>(options.dict_size, properties.data() + 1);
    return properties;
}

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

} // namespace

QStringList packageKinds()
{
    return {QStringLiteral("client"), QStringLiteral("html"), QStringLiteral("firmware")};
}

bool isDottedVersion(const QString &version)
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9})*$"));
    return pattern.match(version).hasMatch();
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < qMax(left.size(), right.size()); ++i) {
        const uint x = i < left.size() ? left.at(i).toUInt() : 0;
        const uint y = i < right.size() ? right.at(i).toUInt() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool isNewerVersion(const QString &candidate, const QString &installed)
{
    if (!isDottedVersion(installed))
        return true;
    return isDottedVersion(candidate) && compareVersions(candidate, installed) > 0;
}

bool lzmaCompress(const QByteArray &data, int preset, bool endMarker, QByteArray *properties,
                  QByteArray *stream)
{
    lzma_options_lzma options;
    if (!encoderOptions(preset, endMarker, &options))
        return false;
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
    *properties = propertiesOf(options);
    return true;
}

// Decodes the payload from the package file piece by piece. The body's bytes
// are hashed again as they are read, so a file that changed after verify()
// is caught by finish().
class PayloadDecoder
{
public:
    PayloadDecoder(QIODevice *file, qint64 input, const QByteArray &head)
        : m_file(file), m_inputLeft(input), m_hash(QCryptographicHash::Sha256)
    {
        m_hash.addData(head);
    }
    ~PayloadDecoder() { lzma_end(&m_strm); }
    PayloadDecoder(const PayloadDecoder &) = delete;
    PayloadDecoder &operator=(const PayloadDecoder &) = delete;

    // The 5 properties bytes and the decoded length; *code: liblzma's result.
    bool start(QByteArrayView properties, quint32 length, int *code)
    {
        *code = 0;
        m_length = length;
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
        // the package is refused instead of allocated.
        const quint32 stated = qFromLittleEndian<quint32>(properties.data() + 1);
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
        const lzma_ret ret = lzma_raw_decoder(&m_strm, filters);
        *code = int(ret);
        return ret == LZMA_OK;
    }

    // Up to size decoded bytes into out (null: thrown away). Fewer at the
    // end of the payload or on a failure (failed()).
    qint64 read(char *out, qint64 size)
    {
        qint64 done = 0;
        while (done < size && !m_failed && !m_ended) {
            if (stopRequested()) {
                m_stopped = true;
                setFailed(int(LZMA_BUF_ERROR));
                break;
            }
            char scratch[16 * 1024];
            char *target = out ? out + done : scratch;
            const qint64 want = out ? size - done : qMin<qint64>(size - done, sizeof scratch);
            m_strm.next_out = reinterpret_cast<uint8_t *>(target);
            m_strm.avail_out = size_t(want);
            if (m_strm.avail_in == 0 && m_inputLeft > 0 && !refill())
                break;
            const lzma_action action =
                m_inputLeft == 0 && m_strm.avail_in == 0 ? LZMA_FINISH : LZMA_RUN;
            const size_t before = m_strm.avail_out;
            const size_t inputBefore = m_strm.avail_in;
            const lzma_ret ret = lzma_code(&m_strm, action);
            const qint64 produced = qint64(before - m_strm.avail_out);
            done += produced;
            if (ret == LZMA_STREAM_END) {
                m_ended = true;
                // The stream ends: before the stated length, or with input
                // left over, the header and the stream disagree.
                if (m_strm.total_out != m_length || m_strm.avail_in != 0 || m_inputLeft != 0)
                    setFailed(-1);
            } else if (ret != LZMA_OK) {
                setFailed(int(ret));
            } else if (produced == 0 && inputBefore == m_strm.avail_in && m_inputLeft == 0) {
                setFailed(int(LZMA_BUF_ERROR)); // the input ended early
            }
        }
        return done;
    }

    // Decodes and throws away what is left, then checks that the stream ended
    // with the stated length and every input byte used.
    bool finish()
    {
        while (!m_failed && !m_ended)
            read(nullptr, 64 * 1024);
        return !m_failed;
    }

    bool failed() const { return m_failed; }
    int code() const { return m_code; }
    // The decoded payload is used up.
    bool exhausted() const { return m_strm.total_out >= m_length; }
    QByteArray digest() const { return m_hash.result(); }
    bool readError() const { return m_readError; }
    bool stopped() const { return m_stopped; }

private:
    bool refill()
    {
        m_input.resize(qMin(kChunk, m_inputLeft));
        const qint64 got = m_file->read(m_input.data(), m_input.size());
        if (got <= 0) {
            m_readError = true;
            setFailed(int(LZMA_BUF_ERROR));
            return false;
        }
        m_input.resize(got);
        m_hash.addData(m_input);
        m_inputLeft -= got;
        m_strm.next_in = reinterpret_cast<const uint8_t *>(m_input.constData());
        m_strm.avail_in = size_t(got);
        return true;
    }

    void setFailed(int code)
    {
        m_failed = true;
        m_code = code;
    }

    QIODevice *m_file;
    qint64 m_inputLeft;
    QCryptographicHash m_hash;
    QByteArray m_input;
    lzma_stream m_strm = LZMA_STREAM_INIT;
    quint64 m_length = 0;
    bool m_ended = false;
    bool m_failed = false;
    bool m_readError = false;
    bool m_stopped = false;
    int m_code = 0;
};

bool lzmaDecompress(const QByteArray &properties, const char *data, qsizetype size, quint32 length,
                    QByteArray *out, int *code)
{
    out->clear();
    if (properties.size() != 5) {
        *code = LZMA_OPTIONS_ERROR;
        return false;
    }
    QByteArray input = QByteArray::fromRawData(data, size);
    QBuffer buffer(&input);
    buffer.open(QIODevice::ReadOnly);
    PayloadDecoder decoder(&buffer, size, QByteArray());
    if (!decoder.start(properties, length, code))
        return false;
    // The output grows as data decodes, so a corrupt length field cannot make
    // us allocate gigabytes up front.
    constexpr qsizetype kStep = 16 * 1024 * 1024;
    while (!decoder.failed() && !decoder.exhausted()) {
        const qsizetype used = out->size();
        out->resize(qMin<qsizetype>(qsizetype(length), used + kStep));
        const qint64 got = decoder.read(out->data() + used, out->size() - used);
        out->resize(used + got);
        if (got == 0)
            break;
    }
    if (!decoder.finish() || out->size() != qsizetype(length)) {
        *code = decoder.failed() ? decoder.code() : -1;
        out->clear();
        return false;
    }
    *code = 0;
    return true;
}

QByteArray headerOf(const Manifest &manifest)
{
    QByteArray header(kHeaderSize, '\0');
    setPaddedText(&header, kKindOffset, kKindSize, manifest.kind);
    qToLittleEndian<quint32>(manifest.product, header.data() + kProductOffset);
    setPaddedText(&header, kVersionOffset, kVersionSize, manifest.version);
    qToLittleEndian<quint64>(manifest.bodyLength, header.data() + kBodyLengthOffset);
    header.replace(kBodyDigestOffset, kBodyDigestSize,
                   manifest.bodyDigest.leftJustified(kBodyDigestSize, '\0', true));
    return header;
}

bool parseManifest(QByteArrayView header, Manifest *manifest, QString *error)
{
    if (header.size() < kHeaderSize) {
        *error = QStringLiteral("the header is shorter than %1 bytes").arg(kHeaderSize);
        return false;
    }
    if (!paddedText(header.sliced(kKindOffset, kKindSize), &manifest->kind) ||
        !packageKinds().contains(manifest->kind)) {
        *error = QStringLiteral("unknown package kind '%1'")
                     .arg(kindText(header.sliced(kKindOffset, kKindSize)));
        return false;
    }
    manifest->product = qFromLittleEndian<quint32>(header.data() + kProductOffset);
    if (!paddedText(header.sliced(kVersionOffset, kVersionSize), &manifest->version) ||
        !isDottedVersion(manifest->version)) {
        *error = QStringLiteral("the version is not a dotted number");
        return false;
    }
    manifest->bodyLength = qFromLittleEndian<quint64>(header.data() + kBodyLengthOffset);
    manifest->bodyDigest = header.sliced(kBodyDigestOffset, kBodyDigestSize).toByteArray();
    const QByteArrayView rest = header.sliced(kManifestUsedEnd, kHeaderSize - kManifestUsedEnd);
    if (rest.count('\0') != rest.size()) {
        *error = QStringLiteral("the manifest holds data this reader does not know");
        return false;
    }
    return true;
}

struct PackageWriter::State
{
    QIODevice *out;
    int preset;
    bool endMarker;
    lzma_stream strm = LZMA_STREAM_INIT;
    bool started = false;
    bool failed = false;
    Manifest manifest;
    quint64 payloadLength = 0;
    quint32 filesLeft = 0;
    quint32 contentLeft = 0;
    QByteArray buffer;
};

PackageWriter::PackageWriter(QIODevice *out, int preset, bool endMarker)
    : m_state(std::make_unique<State>())
{
    m_state->out = out;
    m_state->preset = preset;
    m_state->endMarker = endMarker;
    m_state->buffer.resize(kChunk);
}

PackageWriter::~PackageWriter()
{
    lzma_end(&m_state->strm);
}

namespace {

QByteArray bigEndian32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian<quint32>(value, bytes.data());
    return bytes;
}

// A QString as QDataStream (version 14) writes it.
QByteArray streamString(const QString &text)
{
    QByteArray bytes = bigEndian32(quint32(text.size() * 2));
    bytes.resize(4 + text.size() * 2);
    qToBigEndian<char16_t>(text.constData(), text.size(), bytes.data() + 4);
    return bytes;
}

} // namespace

bool PackageWriter::begin(const QString &kind, quint32 product, const QString &version,
                          quint32 fileCount)
{
    State &state = *m_state;
    if (state.started || !packageKinds().contains(kind) || !isDottedVersion(version) ||
        version.size() > kVersionSize)
        return false;
    lzma_options_lzma options;
    if (!encoderOptions(state.preset, state.endMarker, &options))
        return false;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_raw_encoder(&state.strm, filters) != LZMA_OK)
        return false;
    state.started = true;
    state.manifest.kind = kind;
    state.manifest.product = product;
    state.manifest.version = version;
    state.filesLeft = fileCount;
    // The header for now; finish() writes it again with the body's length and
    // digest. The body: properties, the payload length (known at the end),
    // the stream.
    const QByteArray head = headerOf(state.manifest) + propertiesOf(options) + QByteArray(4, '\0');
    if (!state.out->seek(0) || state.out->write(head) != head.size())
        return false;
    return feed(streamString(version) + bigEndian32(fileCount), false);
}

bool PackageWriter::addFile(const QString &storedName, quint32 size)
{
    State &state = *m_state;
    if (!state.started || state.contentLeft != 0 || state.filesLeft == 0)
        return false;
    --state.filesLeft;
    state.contentLeft = size;
    return feed(streamString(storedName) + bigEndian32(size) + bigEndian32(size), false);
}

bool PackageWriter::write(QByteArrayView piece)
{
    State &state = *m_state;
    if (!state.started || quint64(piece.size()) > state.contentLeft)
        return false;
    state.contentLeft -= quint32(piece.size());
    return feed(piece, false);
}

bool PackageWriter::feed(QByteArrayView data, bool last)
{
    State &state = *m_state;
    state.payloadLength += quint64(data.size());
    if (state.failed || state.payloadLength > kMaxPayloadLength) {
        state.failed = true;
        return false;
    }
    state.strm.next_in = reinterpret_cast<const uint8_t *>(data.data());
    state.strm.avail_in = size_t(data.size());
    for (;;) {
        state.strm.next_out = reinterpret_cast<uint8_t *>(state.buffer.data());
        state.strm.avail_out = size_t(state.buffer.size());
        const lzma_ret ret = lzma_code(&state.strm, last ? LZMA_FINISH : LZMA_RUN);
        const qint64 produced = state.buffer.size() - qint64(state.strm.avail_out);
        if ((ret != LZMA_OK && ret != LZMA_STREAM_END) ||
            state.out->write(state.buffer.constData(), produced) != produced) {
            state.failed = true;
            return false;
        }
        if (ret == LZMA_STREAM_END ||
            (!last && state.strm.avail_in == 0 && state.strm.avail_out != 0))
            return true;
    }
}

bool PackageWriter::finish()
{
    State &state = *m_state;
    if (!state.started || state.filesLeft != 0 || state.contentLeft != 0 ||
        !feed(QByteArrayView(), true) || state.payloadLength > kMaxPayloadLength)
        return false;
    char length[4];
    qToLittleEndian<quint32>(quint32(state.payloadLength), length);
    if (!state.out->seek(kLengthOffset) || state.out->write(length, 4) != 4 ||
        !state.out->seek(kHeaderSize))
        return false;
    // The body's digest, read back piece by piece.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    quint64 bodyLength = 0;
    for (;;) {
        const qint64 got = state.out->read(state.buffer.data(), state.buffer.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        hash.addData(QByteArrayView(state.buffer.constData(), got));
        bodyLength += quint64(got);
    }
    state.manifest.bodyLength = bodyLength;
    state.manifest.bodyDigest = hash.result();
    const QByteArray header = headerOf(state.manifest);
    return state.out->seek(0) && state.out->write(header) == header.size();
}

QByteArray buildPackage(const Content &content, int preset, bool endMarker)
{
    QByteArray file;
    QBuffer buffer(&file);
    buffer.open(QIODevice::ReadWrite);
    PackageWriter writer(&buffer, preset, endMarker);
    if (!writer.begin(content.kind, content.product, content.version,
                      quint32(content.entries.size())))
        return QByteArray();
    for (const Entry &entry : content.entries) {
        if (!writer.addFile(entry.storedName, quint32(entry.content.size())) ||
            !writer.write(entry.content))
            return QByteArray();
    }
    if (!writer.finish())
        return QByteArray();
    return file;
}

QString relativePathOf(const QString &storedName, bool *unsafe)
{
    // One rule for every installer: what the Updater would refuse to put in
    // place is refused here, before anything is written.
    *unsafe = !install::isSafeRelativePath(storedName);
    const qsizetype slash = storedName.indexOf(QLatin1Char('/'));
    if (*unsafe || slash < 0)
        return QString();
    return storedName.mid(slash + 1);
}

namespace {

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

namespace {

void logError(const QString &text)
{
    qCInfo(lcPspecificWnd).noquote() << text;
}

// Everything a package holds, through one reader: hands every file to
// visit(relative, entry name, size) and its content to write (both may stop
// the reading by answering false, with *reason set). The reader's own
// failures are logged.
using Visit = std::function<bool(const QString &relative, const QString &storedName)>;
using Write = std::function<bool(QByteArrayView piece)>;

UnpackResult walkPackage(QIODevice *file, const TrustedKeys &keys, const Expectation &expected,
                         const std::function<bool(quint32 payloadLength)> &beforeDecode,
                         const Visit &visit, const Write &write, const Visit &closeFile)
{
    UnpackResult result;
    PackageReader reader(file);
    auto failed = [&reader, &result] {
        logError(reader.error());
        result.reason = reader.reason();
        result.outcome = UnpackResult::Refused;
        return result;
    };
    if (!reader.verify(keys))
        return failed();
    result.version = reader.version();
    if (!reader.accepts(expected)) {
        if (!reader.notNewer())
            return failed();
        logError(reader.error());
        result.outcome = UnpackResult::NotNewer;
        result.reason = reader.reason();
        return result;
    }
    if (beforeDecode && !beforeDecode(reader.payloadLength()))
        return result;
    if (!reader.decode() || !reader.readHeader())
        return failed();
    for (quint32 i = 0; i < reader.fileCount(); ++i) {
        QString storedName;
        QString relative;
        quint32 size = 0;
        if (!reader.readEntry(&storedName, &relative, &size))
            return failed();
        if (visit && !visit(relative, storedName))
            return result;
        if (!reader.readContent(write ? write : Write([](QByteArrayView) { return true; }))) {
            if (!reader.error().isEmpty())
                return failed();
            return result;
        }
        if (closeFile && !closeFile(relative, storedName))
            return result;
    }
    if (!reader.finish())
        return failed();
    result.outcome = UnpackResult::Unpacked;
    return result;
}

// Settles the keys file a client package brings: withdrawals carry over, and
// an older version the user chose leaves the installed keys untouched.
bool settleKeysFile(const QString &tempFolder, const Expectation &expected)
{
    const QString incoming = tempFolder + QLatin1Char('/') + kKeysFile;
    if (expected.kind != QLatin1String("client") || !QFileInfo::exists(incoming))
        return true;
    QFile installedFile(TrustedKeys::defaultPath());
    const QByteArray installed =
        installedFile.open(QIODevice::ReadOnly) ? installedFile.readAll() : QByteArray();
    if (expected.allowOlder) {
        // A version that is not newer never changes which keys are trusted.
        return QFile::remove(incoming);
    }
    QFile in(incoming);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = TrustedKeys::carryWithdrawals(installed, in.readAll());
    in.close();
    return writeFileAtomically(incoming, text);
}

} // namespace

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

UnpackResult checkPackageFile(const QString &packagePath, const TrustedKeys &keys,
                              const Expectation &expected, const FileSink &sink)
{
    QFile input(packagePath);
    if (!input.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Update Erro: cant read updates file!"));
        UnpackResult result;
        result.reason = QStringLiteral("the package cannot be read");
        return result;
    }
    QString reason;
    QString current;
    UnpackResult result = walkPackage(
        &input, keys, expected, {},
        [&reason, &current](const QString &relative, const QString &storedName) {
            current = relative;
            if (!relative.isEmpty())
                return true;
            logError(QStringLiteral("Update Error: file name '%1' has no path after its first "
                                    "component")
                         .arg(storedName));
            reason = QStringLiteral("a file of the package cannot be written");
            return false;
        },
        [&sink, &current](QByteArrayView piece) { return !sink || sink(current, piece); }, {});
    if (!reason.isEmpty())
        result.reason = reason;
    return result;
}

UnpackResult unpackPackageFile(const QString &packagePath, const QString &kindFolder,
                               const TrustedKeys &keys, const Expectation &expected)
{
    UnpackResult refused;
    QFile input(packagePath);
    if (!input.open(QIODevice::ReadOnly)) {
        logError(QStringLiteral("Update Erro: cant read updates file!"));
        refused.reason = QStringLiteral("the package cannot be read");
        return refused;
    }
    if (input.size() < kMinimumSize) {
        refused.reason = QStringLiteral("the package is incomplete");
        return refused;
    }

    const QString kind = QDir::cleanPath(QFileInfo(kindFolder).absoluteFilePath());
    const QString tempFolder = kind + QStringLiteral("/temp");
    const QString readyFolder = kind + QStringLiteral("/ready");

    QString reason;
    QFile output;
    QString target;
    auto beforeDecode = [&](quint32 payloadLength) {
        // The files must fit beside what is there.
        if (!QDir().mkpath(kind) || !hasFreeSpace(kind, qint64(payloadLength))) {
            logError(QStringLiteral("Update Error: not enough free space in '%1' for %2 bytes")
                         .arg(kind)
                         .arg(payloadLength));
            reason = QStringLiteral("there is not enough free disk space");
            return false;
        }
        deleteFolderTree(tempFolder);
        if (QFileInfo::exists(tempFolder) || !QDir().mkpath(tempFolder)) {
            reason = QStringLiteral("the update folder cannot be written");
            return false;
        }
        return true;
    };
    // The owner of the unpacking thread asked it to stop (its dialog went).
    auto stopped = [&] {
        const QThread *thread = QThread::currentThread();
        if (!thread->isInterruptionRequested())
            return false;
        logError(QStringLiteral("Update Info: the unpack into '%1' was stopped").arg(tempFolder));
        reason = QStringLiteral("the unpack was stopped");
        return true;
    };
    auto cantOpen = [&](const QString &storedName) {
        logError(QStringLiteral("Update Error: cant open file '%1' for writing")
                     .arg(tempFolder + QLatin1Char('/') + storedName));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };
    auto open = [&](const QString &relative, const QString &storedName) {
        if (stopped())
            return false;
        if (relative.isEmpty())
            return cantOpen(storedName);
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            QDir().mkpath(tempFolder + QLatin1Char('/') + relative.left(slash));
        target = tempFolder + QLatin1Char('/') + relative;
        output.setFileName(target);
        if (QFileInfo(target).isDir() || !output.open(QIODevice::WriteOnly))
            return cantOpen(storedName);
        return true;
    };
    auto write = [&](QByteArrayView piece) {
        if (stopped())
            return false;
        if (output.write(piece.data(), piece.size()) == piece.size())
            return true;
        logError(QStringLiteral("Update Error: cant write file '%1'").arg(output.fileName()));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };
    auto close = [&](const QString &, const QString &) {
        // The file's last small pieces are still buffered: a failure to write
        // them now leaves the file cut short.
        const bool flushed = output.flush();
        output.close();
        if (!flushed) {
            logError(QStringLiteral("Update Error: cant write file '%1'").arg(target));
            reason = QStringLiteral("a file of the package cannot be written");
            return false;
        }
        // The package stores no modes: programs become executable by their content.
        if (install::settleInstalledPermissions(target, std::nullopt))
            return true;
        logError(QStringLiteral("Update Error: cant set the permissions of '%1'").arg(target));
        reason = QStringLiteral("a file of the package cannot be written");
        return false;
    };

    UnpackResult result = walkPackage(&input, keys, expected, beforeDecode, open, write, close);
    output.close();
    if (result.outcome != UnpackResult::Unpacked) {
        if (!reason.isEmpty()) {
            result.outcome = UnpackResult::Refused;
            result.reason = reason;
        }
        deleteFolderTree(tempFolder);
        return result;
    }
    if (!settleKeysFile(tempFolder, expected)) {
        logError(QStringLiteral("Update Error: cant settle '%1'").arg(kKeysFile));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, result.version,
                QStringLiteral("the update folder cannot be written")};
    }
    deleteFolderTree(readyFolder);
    if (QFileInfo::exists(readyFolder) || !QDir().rename(tempFolder, readyFolder)) {
        logError(QStringLiteral("Update Error: cant rename temp dir '%1' to ready dir '%2'")
                     .arg(tempFolder, readyFolder));
        deleteFolderTree(tempFolder);
        return {UnpackResult::Refused, result.version,
                QStringLiteral("the update folder cannot be written")};
    }
    return result;
}

} // namespace kelv::package
