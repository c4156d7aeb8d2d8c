#pragma once

// The LZMA coding of a package's payload: the encoder's options, the properties
// bytes, whole buffers both ways, and the streaming decoder the reader uses.

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QIODevice>
#include <QtEndian>
#include <lzma.h>

namespace kelv::package {

// The largest LZMA dictionary the reader sets up: with it, reading a package
// of any size stays within a few tens of MiB.
constexpr quint32 kMaxDictionarySize = 32u << 20;
// The piece of the package file read at a time.
constexpr qint64 kChunk = 256 * 1024;
// The thread that reads a package was asked to stop (the update dialog went).
bool stopRequested();

// The encoder's options for a preset. The dictionary is kept within what the
// reader sets up (presets 8 and 9 would ask for more): what is packed here can
// always be read.
bool encoderOptions(int preset, bool endMarker, lzma_options_lzma *options);

// The 5 properties bytes of the LZMA format.
QByteArray propertiesOf(const lzma_options_lzma &options);

// Raw LZMA: compresses data with the given preset (0..9; the dictionary is
// kept within what the reader sets up) and returns the stream, with or
// without an end marker; *properties receives the 5 properties bytes.
bool lzmaCompress(const QByteArray &data, int preset, bool endMarker, QByteArray *properties,
                  QByteArray *stream);

// Decodes a raw LZMA stream whose decoded length is known. Fails (with a
// liblzma result code in *code, or -1 for a length mismatch) when the stream is
// corrupt, ends before `length` bytes, or carries more data than `length`.
bool lzmaDecompress(const QByteArray &properties, const char *data, qsizetype size, quint32 length,
                    QByteArray *out, int *code);

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

} // namespace kelv::package
