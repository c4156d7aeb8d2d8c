#pragma once

// The LZMA coding of a package's payload: the encoder's options, the properties
// bytes, whole buffers both ways, and the streaming decoder the reader uses.

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>
#include <QIODevice>
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
    PayloadDecoder(QIODevice *file, qint64 input, const QByteArray &head);
    ~PayloadDecoder();
    PayloadDecoder(const PayloadDecoder &) = delete;
    PayloadDecoder &operator=(const PayloadDecoder &) = delete;

    // The 5 properties bytes and the decoded length; *code: liblzma's result.
    bool start(QByteArrayView properties, quint32 length, int *code);

    // Up to size decoded bytes into out (null: thrown away). Fewer at the
    // end of the payload or on a failure (failed()).
    qint64 read(char *out, qint64 size);

    // Decodes and throws away what is left, then checks that the stream ended
    // with the stated length and every input byte used.
    bool finish();

    bool failed() const { return m_failed; }
    int code() const { return m_code; }
    // The decoded payload is used up.
    bool exhausted() const { return m_strm.total_out >= m_length; }
    QByteArray digest() const { return m_hash.result(); }
    bool readError() const { return m_readError; }
    bool stopped() const { return m_stopped; }

private:
    bool refill();
    void setFailed(int code);

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
