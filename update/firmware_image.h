#pragma once

// The firmware image update.bin, read into a zeroed 67170-byte buffer:
//
//   0      4 bytes  product code 4118 (little-endian)
//   4      4 bytes  zero
//   264    length   firmware bytes
//   66113  8 bytes  length of the firmware bytes (u64, little-endian, unaligned)
//   66121  4 bytes  check value (CRC-32 of the firmware bytes)

#include "update/package_unpacker.h"

#include <QByteArray>
#include <QString>

namespace kelv {

class FirmwareImage
{
public:
    static constexpr int kBufferSize = 67170;
    static constexpr int kProductCode = 4118;
    static constexpr int kFirmwareOffset = 264;
    static constexpr int kLengthOffset = 66113;
    static constexpr int kCheckOffset = 66121;
    // The most firmware bytes the buffer holds after the header.
    static constexpr quint64 kMaxLength = kBufferSize - kFirmwareOffset;
    // The most firmware bytes that leave the length and check fields intact
    // (what the packer writes).
    static constexpr quint64 kMaxPackedLength = kLengthOffset - kFirmwareOffset;

    FirmwareImage() : m_buffer(kBufferSize, '\0') {}

    // Reads the file into the zeroed buffer. Refused: a missing or unreadable
    // file, one longer than the buffer, a wrong product code, a non-zero
    // second word, a length field above what the buffer holds, or firmware
    // bytes whose CRC-32 is not the image's check value.
    bool load(const QString &path);
    // The same checks on an image in memory.
    bool setImage(const QByteArray &data);
    // Reads update.bin from a firmware package after verifying the package
    // against keys and expected (package::checkPackageFile): the image is
    // taken only from a package that passed every check, right when it is
    // needed. Unpacked means the image is loaded.
    package::UnpackResult loadPackage(const QString &packagePath, const package::TrustedKeys &keys,
                                      const package::Expectation &expected);

    quint64 length() const;
    quint32 checkValue() const;
    const char *firmware() const { return m_buffer.constData() + kFirmwareOffset; }
    const QByteArray &buffer() const { return m_buffer; }

    // A complete image around firmware bytes (at most kMaxPackedLength).
    static QByteArray build(const QByteArray &firmware);
    // CRC-32 (IEEE 802.3, as zlib's crc32).
    static quint32 crc32(const char *data, qsizetype size);

private:
    QByteArray m_buffer;
};

// working folder + "tupdates/firmware/firmware.pkg": the last firmware package
// that passed every check, kept for flashing and for finishing a flash that
// was cut off.
QString firmwarePackagePath();
// What a flash or a recovery accepts from that package: firmware for this
// product, whatever its version (the version was checked when it arrived).
package::Expectation firmwareExpectation();

} // namespace kelv
