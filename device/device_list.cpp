#include "device/device_list.h"

#include "libdc/libdc.h"

#include <QtEndian>

namespace kelv {

int deviceListCount(const QByteArray &block)
{
    if (block.size() < 2)
        return 0;
    const int count = qFromLittleEndian<quint16>(block.constData());
    const int whole = int((block.size() - 2) / DC_RECORD_SIZE);
    return qMin(count, qMin(int(DC_LIST_MAX_RECORDS), whole));
}

QString deviceTextField(const char *field, int size)
{
    const int length = int(qstrnlen(field, uint(size)));
    return QString::fromUtf8(field, length);
}

QString deviceWideField(const char *field, int size)
{
    QString text;
    for (int i = 0; i + 1 < size; i += 2) {
        const char16_t unit = qFromLittleEndian<quint16>(field + i);
        if (unit == 0)
            break;
        text += QChar(unit);
    }
    return text;
}

DeviceInfo deviceListRecord(const QByteArray &block, int index)
{
    DeviceInfo info;
    if (index < 0 || index >= deviceListCount(block))
        return info;
    const char *record = block.constData() + 2 + qsizetype(index) * DC_RECORD_SIZE;
    info.DeviceID = deviceTextField(record + DC_RECORD_DEVICE_ID, DC_RECORD_DEVICE_ID_SIZE);
    info.Version = deviceTextField(record + DC_RECORD_VERSION, DC_RECORD_VERSION_SIZE);
    info.SN = deviceTextField(record + DC_RECORD_SN, DC_RECORD_SN_SIZE);
    info.MASK = deviceTextField(record + DC_RECORD_MASK, DC_RECORD_MASK_SIZE);
    info.DevicePath = deviceWideField(record + DC_RECORD_DEVICE_PATH, DC_RECORD_UTF16_FIELD_SIZE);
    info.HardwareID = deviceWideField(record + DC_RECORD_HARDWARE_ID, DC_RECORD_UTF16_FIELD_SIZE);
    info.Name = deviceTextField(record + DC_RECORD_NAME, DC_RECORD_NAME_SIZE);
    info.Model = deviceTextField(record + DC_RECORD_MODEL, DC_RECORD_MODEL_SIZE);
    info.Flags = quint8(record[DC_RECORD_FLAGS]);
    return info;
}

QList<DeviceInfo> parseDeviceList(const QByteArray &block)
{
    QList<DeviceInfo> list;
    const int count = deviceListCount(block);
    for (int i = 0; i < count; ++i)
        list.append(deviceListRecord(block, i));
    return list;
}

} // namespace kelv
