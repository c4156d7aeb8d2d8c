#include "update/payload_codec.h"

#include <QBuffer>
#include <QThread>
#include <QtEndian>

namespace kelv::package {

// The thread that reads a package was asked to stop (the update dialog went).
bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
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

} // namespace kelv::package
