#include "update/payload_codec.h"

#include <QBuffer>
#include <QThread>
#include <QtEndian>

namespace kelv::package {

bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

bool encoderOptions(int preset, bool endMarker, lzma_options_lzma *options)
{
    if (lzma_lzma_preset(options, uint32_t(preset)))
        return false;
    options->dict_size = qMin<uint32_t>(options->dict_size, kMaxDictionarySize);
    options->ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    return true;
}

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

PayloadDecoder::PayloadDecoder(QIODevice *file, qint64 input, const QByteArray &head)
    : m_file(file), m_inputLeft(input), m_hash(QCryptographicHash::Sha256)
{
    m_hash.addData(head);
}

PayloadDecoder::~PayloadDecoder()
{
    lzma_end(&m_strm);
}

bool PayloadDecoder::start(QByteArrayView properties, quint32 length, int *code)
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

qint64 PayloadDecoder::read(char *out, qint64 size)
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

bool PayloadDecoder::finish()
{
    while (!m_failed && !m_ended)
        read(nullptr, 64 * 1024);
    return !m_failed;
}

bool PayloadDecoder::refill()
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

void PayloadDecoder::setFailed(int code)
{
    m_failed = true;
    m_code = code;
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
