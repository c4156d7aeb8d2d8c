#include "update/package_writer.h"

#include "update/payload_codec.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QtEndian>

namespace kelv::package {

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

} // namespace kelv::package
