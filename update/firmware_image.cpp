#include "update/firmware_image.h"

#include "common/app_paths.h"

#include <QFile>
#include <QtEndian>
#include <cstring>
#include <lzma.h>

namespace kelv {

bool FirmwareImage::load(const QString &path)
{
    m_buffer.fill('\0', kBufferSize);
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return false;
    // One byte more than the buffer tells an over-long file apart.
    const QByteArray data = file.read(kBufferSize + 1);
    if (data.size() > kBufferSize)
        return false;
    std::memcpy(m_buffer.data(), data.constData(), size_t(data.size()));
    // An image that carries no firmware bytes is refused like a bad header:
    // flashing it would erase the mouse and write nothing back.
    return qFromLittleEndian<quint32>(m_buffer.constData()) == quint32(kProductCode) &&
           qFromLittleEndian<quint32>(m_buffer.constData() + 4) == 0 && length() > 0 &&
           length() <= kMaxLength;
}

quint64 FirmwareImage::length() const
{
    return qFromLittleEndian<quint64>(m_buffer.constData() + kLengthOffset);
}

quint32 FirmwareImage::checkValue() const
{
    return qFromLittleEndian<quint32>(m_buffer.constData() + kCheckOffset);
}

quint32 FirmwareImage::crc32(const char *data, qsizetype size)
{
    return lzma_crc32(reinterpret_cast<const uint8_t *>(data), size_t(size), 0);
}

QByteArray FirmwareImage::build(const QByteArray &firmware)
{
    if (quint64(firmware.size()) > kMaxPackedLength)
        return QByteArray();
    QByteArray image(kBufferSize, '\0');
    qToLittleEndian<quint32>(quint32(kProductCode), image.data());
    std::memcpy(image.data() + kFirmwareOffset, firmware.constData(), size_t(firmware.size()));
    qToLittleEndian<quint64>(quint64(firmware.size()), image.data() + kLengthOffset);
    qToLittleEndian<quint32>(crc32(firmware.constData(), firmware.size()),
                             image.data() + kCheckOffset);
    return image;
}

QString firmwareImagePath()
{
    return workingFolder() + QStringLiteral("tupdates/firmware/ready/update.bin");
}

} // namespace kelv
