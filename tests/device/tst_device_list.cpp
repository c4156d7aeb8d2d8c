// Reading device-list blocks built by hand, and the transfer texts of the device commands.

#include "device/device_list.h"
#include "device/transfer_text.h"
#include "libdc/libdc.h"

#include <QTest>

using namespace kelv;

namespace {

QByteArray emptyBlock(int records = DC_LIST_MAX_RECORDS)
{
    return QByteArray(2 + records * int(DC_RECORD_SIZE), '\0');
}

void setCount(QByteArray &block, int count)
{
    block[0] = char(count & 0xff);
    block[1] = char(count >> 8);
}

char *record(QByteArray &block, int index)
{
    return block.data() + 2 + index * int(DC_RECORD_SIZE);
}

void putText(QByteArray &block, int index, int offset, const QByteArray &text)
{
    memcpy(record(block, index) + offset, text.constData(), size_t(text.size()));
}

void putWide(QByteArray &block, int index, int offset, const QString &text)
{
    for (int i = 0; i < text.size(); ++i) {
        record(block, index)[offset + 2 * i] = char(text.at(i).unicode() & 0xff);
        record(block, index)[offset + 2 * i + 1] = char(text.at(i).unicode() >> 8);
    }
}

} // namespace

class TestDeviceList : public QObject
{
    Q_OBJECT

private slots:
    void fieldsAreReadAtTheirOffsets()
    {
        QByteArray block = emptyBlock();
        setCount(block, 1);
        putText(block, 0, DC_RECORD_DEVICE_ID, "KELV-M1");
        putText(block, 0, DC_RECORD_VERSION, "1.2.3");
        putText(block, 0, DC_RECORD_SN, "KM1000000001");
        putText(block, 0, DC_RECORD_MASK, "01");
        putText(block, 0, DC_RECORD_RESERVED, "reserved bytes are never read");
        putWide(block, 0, DC_RECORD_DEVICE_PATH, QStringLiteral("\\\\?\\hid#path"));
        putWide(block, 0, DC_RECORD_HARDWARE_ID, QStringLiteral("HID\\Vid_0aa0&Pid_5e30"));
        const QList<DeviceInfo> list = parseDeviceList(block);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0].DeviceID, QStringLiteral("KELV-M1"));
        QCOMPARE(list[0].Version, QStringLiteral("1.2.3"));
        QCOMPARE(list[0].SN, QStringLiteral("KM1000000001"));
        QCOMPARE(list[0].MASK, QStringLiteral("01"));
        QCOMPARE(list[0].DevicePath, QStringLiteral("\\\\?\\hid#path"));
        QCOMPARE(list[0].HardwareID, QStringLiteral("HID\\Vid_0aa0&Pid_5e30"));
    }

    void fullFieldsEndAtTheFieldEnd()
    {
        QByteArray block = emptyBlock(2);
        setCount(block, 2);
        // DeviceID fills all 40 bytes and runs straight into Version.
        const QByteArray forty = QByteArray("0123456789").repeated(4);
        putText(block, 0, DC_RECORD_DEVICE_ID, forty);
        putText(block, 0, DC_RECORD_VERSION, "17-byte-version-x");
        putText(block, 0, DC_RECORD_SN, "14-byte-serial");
        putText(block, 0, DC_RECORD_MASK, "FF");
        putText(block, 0, DC_RECORD_RESERVED, "X");
        // DevicePath: 255 units and no terminator, followed directly by HardwareID.
        const QString path = QString(255, QLatin1Char('p'));
        putWide(block, 0, DC_RECORD_DEVICE_PATH, path);
        putWide(block, 0, DC_RECORD_HARDWARE_ID, QString(255, QLatin1Char('h')));
        // Record 1 begins right after: the last HardwareID unit must not run into it.
        putText(block, 1, DC_RECORD_DEVICE_ID, "NEXT");
        const QList<DeviceInfo> list = parseDeviceList(block);
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].DeviceID, QString::fromLatin1(forty));
        QCOMPARE(list[0].DeviceID.size(), 40);
        QCOMPARE(list[0].Version, QStringLiteral("17-byte-version-x"));
        QCOMPARE(list[0].SN, QStringLiteral("14-byte-serial"));
        QCOMPARE(list[0].MASK, QStringLiteral("FF"));
        QCOMPARE(list[0].DevicePath, path);
        QCOMPARE(list[0].HardwareID, QString(255, QLatin1Char('h')));
        QCOMPARE(list[1].DeviceID, QStringLiteral("NEXT"));
    }

    void emptyAndUtf8Fields()
    {
        QByteArray block = emptyBlock(1);
        setCount(block, 1);
        putText(block, 0, DC_RECORD_DEVICE_ID, QByteArray("\0ignored", 8));
        putText(block, 0, DC_RECORD_VERSION, QString::fromUtf8("Mäus").toUtf8());
        putWide(block, 0, DC_RECORD_HARDWARE_ID, QString::fromUtf8("Maus \u00e4\u4e2d"));
        const DeviceInfo info = deviceListRecord(block, 0);
        QCOMPARE(info.DeviceID, QString());
        QCOMPARE(info.Version, QString::fromUtf8("Mäus"));
        QCOMPARE(info.HardwareID, QString::fromUtf8("Maus \u00e4\u4e2d"));
        QCOMPARE(info.DevicePath, QString());
    }

    void countIsBounded()
    {
        QByteArray block = emptyBlock();
        setCount(block, 25);
        QCOMPARE(deviceListCount(block), 20);
        setCount(block, 0xffff);
        QCOMPARE(parseDeviceList(block).size(), 20);
        setCount(block, 0);
        QCOMPARE(parseDeviceList(block).size(), 0);
        // A block too short for the records its count claims.
        QByteArray shortBlock = emptyBlock(2);
        setCount(shortBlock, 3);
        QCOMPARE(deviceListCount(shortBlock), 2);
        shortBlock.chop(1);
        QCOMPARE(deviceListCount(shortBlock), 1);
        QCOMPARE(deviceListCount(QByteArray(1, '\x05')), 0);
        QCOMPARE(deviceListCount(QByteArray()), 0);
        QCOMPARE(deviceListRecord(shortBlock, 1).DeviceID, QString());
        QCOMPARE(deviceListRecord(shortBlock, -1).DeviceID, QString());
        // Little-endian count: 0x0100 is 256, bounded to 20.
        QByteArray big = emptyBlock();
        big[0] = 0;
        big[1] = 1;
        QCOMPARE(deviceListCount(big), 20);
        big[0] = 2;
        big[1] = 0;
        QCOMPARE(deviceListCount(big), 2);
    }

    void byteList()
    {
        const QByteArray block = QByteArray::fromHex("01ff10") + QByteArray(2045, '\0');
        QCOMPARE(byteListText(block, 3), QStringLiteral("0x01,0xff,0x10"));
        QCOMPARE(byteListText(block, 1), QStringLiteral("0x01"));
        QCOMPARE(byteListText(block, 0), QString());
        QCOMPARE(byteListText(block, -4), QString());
        QCOMPARE(byteListText(block, 5), QStringLiteral("0x01,0xff,0x10,0x00,0x00"));
        // Never past the block.
        QCOMPARE(byteListText(block, 4000).count(QLatin1Char(',')), 2047);
        QCOMPARE(byteListText(QByteArray::fromHex("abcdef"), 9), QStringLiteral("0xab,0xcd,0xef"));
    }

    void byteItems()
    {
        QCOMPARE(transferBlockFromText(QStringLiteral("0x01,0xff,0x10"), 2).left(3).toHex(),
                 QByteArray("01ff00"));
        QCOMPARE(transferBlockFromText(QStringLiteral("1,,0x1FF"), 3).left(4).toHex(),
                 QByteArray("0100ff00"));
        QCOMPARE(transferBlockFromText(QStringLiteral("0x1f,1f,1F, 1f,\t0X1F"), 5).left(5).toHex(),
                 QByteArray("1f1f1f1f1f"));
        // Fewer items than the size: the rest stays zero; junk items read as 0.
        QCOMPARE(transferBlockFromText(QStringLiteral("7"), 4).left(4).toHex(),
                 QByteArray("07000000"));
        QCOMPARE(transferBlockFromText(QStringLiteral("zz,-1,12zz,0x"), 4).left(4).toHex(),
                 QByteArray("00ff1200"));
        QCOMPARE(transferBlockFromText(QString(), 4).left(4).toHex(), QByteArray("00000000"));
        QCOMPARE(transferBlockFromText(QStringLiteral("1,2"), 0).left(2).toHex(),
                 QByteArray("0000"));
        // A read's byte list sent back unchanged writes the same bytes.
        const QByteArray bytes = QByteArray::fromHex("00017f80fe") + QByteArray(2043, '\0');
        QCOMPARE(transferBlockFromText(byteListText(bytes, 5), 5), bytes);
        // The block is always 2048 bytes; items past it are ignored.
        const QString many = QStringLiteral("1,").repeated(3000);
        const QByteArray full = transferBlockFromText(many, 3000);
        QCOMPARE(full.size(), 2048);
        QCOMPARE(full, QByteArray(2048, '\x01'));
    }

    void transferSizeBounds()
    {
        QCOMPARE(boundedTransferSize(-5), 0);
        QCOMPARE(boundedTransferSize(0), 0);
        QCOMPARE(boundedTransferSize(2048), 2048);
        QCOMPARE(boundedTransferSize(2049), 2048);
        QCOMPARE(boundedTransferSize(qint64(1) << 40), 2048);
    }

    void dataHex()
    {
        const unsigned char data[8] = {0x01, 0x02, 0x0A, 0xFF, 0x00, 0x00, 0x00, 0x10};
        QCOMPARE(dataHexText(data, 8), QStringLiteral("01020aff00000010"));
        QCOMPARE(dataHexText(data, 0), QString());
    }
};

QTEST_GUILESS_MAIN(TestDeviceList)
#include "tst_device_list.moc"
