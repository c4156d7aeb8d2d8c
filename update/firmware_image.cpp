#include "update/firmware_image.h"

#include "common/app_paths.h"
#include "update/update_log.h"

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
    return setImage(file.read(kBufferSize + 1));
}

bool FirmwareImage::setImage(const QByteArray &data)
{
    m_buffer.fill('\0', kBufferSize);
    if (data.size() > kBufferSize)
        return false;
    std::memcpy(m_buffer.data(), data.constData(), size_t(data.size()));
    // An image that carries no firmware bytes is refused like a bad header:
    // flashing it would erase the mouse and write nothing back. So is one
    // whose bytes do not match its check value, before anything is erased.
    return qFromLittleEndian<quint32>(m_buffer.constData()) == quint32(kProductCode) &&
           qFromLittleEndian<quint32>(m_buffer.constData() + 4) == 0 && length() > 0 &&
           length() <= kMaxLength &&
           crc32(firmware(), qsizetype(qMin(length(), kMaxLength))) == checkValue();
}

package::UnpackResult FirmwareImage::loadPackage(const QString &packagePath,
                                                 const package::TrustedKeys &keys,
                                                 const package::Expectation &expected)
{
    m_buffer.fill('\0', kBufferSize);
    QByteArray image;
    bool found = false;
    package::UnpackResult result =
        package::checkPackageFile(packagePath, keys, expected,
                                  [&image, &found](const QString &relative, QByteArrayView piece) {
                                      if (relative != QLatin1String("update.bin"))
                                          return true;
                                      found = true;
                                      image.append(piece);
                                      return image.size() <= kBufferSize;
                                  });
    if (result.outcome == package::UnpackResult::Unpacked && found && setImage(image))
        return result;
    if (result.outcome != package::UnpackResult::NotNewer && result.reason.isEmpty()) {
        qCInfo(lcPspecificWnd).noquote()
            << QStringLiteral("Update Error: %1 holds no usable firmware image (update.bin)")
                   .arg(packagePath);
        result.outcome = package::UnpackResult::Refused;
        result.reason = QStringLiteral("the firmware image is unusable");
    }
    m_buffer.fill('\0', kBufferSize);
    return result;
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

QString firmwarePackagePath()
{
    return workingFolder() + QStringLiteral("tupdates/firmware/firmware.pkg");
}

package::Expectation firmwareExpectation()
{
    package::Expectation expected;
    expected.kind = QStringLiteral("firmware");
    expected.allowOlder = true;
    return expected;
}

} // namespace kelv
