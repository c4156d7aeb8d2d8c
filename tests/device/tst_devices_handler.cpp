// The device manager over the real libdc (driven by the real dcsim), without a library, and
// over a library that lacks most entry points; every case runs twice, with the library
// loaded into the process and with it loaded by the device-library host (dchost).

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "device/firmware_session.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

const QString kMouseId = QStringLiteral("HID\\Vid_0aa0&Pid_5e30");
const QString kBootId = QStringLiteral("HID\\Vid_0aa0&Pid_5e31");
// The library's entry points in lookup order.
const QStringList kAllEntries = {
    QStringLiteral("dcDeviceExist"),
    QStringLiteral("dcDevices"),
    QStringLiteral("dcOnDeviceEvent"),
    QStringLiteral("dconDeviceData"),
    QStringLiteral("dcAsk"),
    QStringLiteral("dcReset"),
    QStringLiteral("dcNotify"),
    QStringLiteral("dcRead"),
    QStringLiteral("dcWrite"),
    QStringLiteral("dcReadProp"),
    QStringLiteral("dcWriteProp"),
    QStringLiteral("dcScriptOut"),
    QStringLiteral("dcIDWrite"),
    QStringLiteral("dcRebootRom"),
    QStringLiteral("dcFinishUpdateRom"),
    QStringLiteral("dcCheckRom"),
    QStringLiteral("dcBornRom"),
    QStringLiteral("dcEraseRom"),
};

// Records on which thread each signal arrived.
struct ThreadCheck
{
    int onMain = 0;
    int elsewhere = 0;
    void note()
    {
        (QThread::currentThread() == QCoreApplication::instance()->thread() ? onMain : elsewhere)++;
    }
};

QString dcsim(const QStringList &args)
{
    QString out;
    const int code = runDcsim(args, &out);
    return code == 0 ? out : QStringLiteral("<exit %1> %2").arg(code).arg(out);
}

} // namespace

class TestDevicesHandler : public QObject
{
    Q_OBJECT

public:
    explicit TestDevicesHandler(bool throughHost) : m_throughHost(throughHost) {}

private:
    const bool m_throughHost;
    std::unique_ptr<SimFolder> m_sim;

    // A manager over the library file, in this process or through the host.
    std::unique_ptr<devices_handler> open(const QString &libraryFile) const
    {
        if (!m_throughHost)
            return std::make_unique<devices_handler>(libraryFile, nullptr);
        return std::make_unique<devices_handler>(libraryFile, devices_handler::defaultHostProgram(),
                                                 nullptr);
    }

    QString logText() const
    {
        QFile log(m_sim->file(QStringLiteral("dc.log")));
        return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
    }

private slots:
    void init()
    {
        m_sim.reset();
        m_sim = std::make_unique<SimFolder>();
        QVERIFY(m_sim->isValid());
        devices_handler::resetEventCounter();
        qunsetenv("PARTIAL_DC_LIST");
    }

    void cleanup()
    {
        // Let queued callbacks of the finished test run out before its folder goes.
        QTest::qWait(50);
        m_sim.reset();
    }

    void defaultLibraryIsInTheApplicationFolder()
    {
        if (m_throughHost)
            QSKIP("the default library does not depend on the way it is loaded");
        QCOMPARE(devices_handler::defaultLibraryFile(),
                 QCoreApplication::applicationDirPath() + QStringLiteral("/libdc.so"));
        // The test binary's folder holds no libdc.so: the manager runs without devices.
        devices_handler devices(nullptr);
        QCOMPARE(devices.isLoaded(),
                 QFile::exists(QCoreApplication::applicationDirPath() + "/libdc.so"));
    }

    void aThirtyTwoBitLibraryIsLoadedByTheHost()
    {
        if (m_throughHost)
            QSKIP("the choice is made when no host is named");
        // A 32-bit x86 library: this 64-bit process cannot load it, the host beside the
        // program (here: beside the test) is asked to, and reports why it could not either.
        QByteArray elf32(64, '\0');
        elf32.replace(0, 6,
                      QByteArray("\x7f"
                                 "ELF\x01\x01",
                                 6));
        elf32[18] = 3; // EM_386
        const QString fake = m_sim->file(QStringLiteral("libdc.so"));
        QFile file(fake);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(elf32) == elf32.size());
        file.close();
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression(QStringLiteral("not loaded through %1: .*libdc\\.so")
                                                 .arg(QRegularExpression::escape(
                                                     devices_handler::defaultHostProgram()))));
        devices_handler devices(fake, nullptr);
        QVERIFY(!devices.isLoaded());
        QVERIFY(!devices.loadedThroughHost());
        QCOMPARE(devices.missingEntries(), kAllEntries);

        // This build's own library is loaded in-process.
        devices_handler own(libdcFile(), nullptr);
        QVERIFY(own.isLoaded());
        QVERIFY(!own.loadedThroughHost());
    }

    void withoutTheLibrary()
    {
        const auto opened = open(m_sim->file(QStringLiteral("missing/libdc.so")));
        devices_handler &devices = *opened;
        QSignalSpy changed(&devices, &devices_handler::devicesChanged);
        QVERIFY(!devices.isLoaded());
        QCOMPARE(devices.missingEntries(), kAllEntries);
        const QByteArray block = devices.listDevices();
        QCOMPARE(block.size(), 42102);
        QCOMPARE(block, QByteArray(42102, '\0'));
        QCOMPARE(devices.read(kMouseId, 16, 0x1000), QByteArray(2048, '\0'));
        QVERIFY(!devices.write(kMouseId, QByteArray(2048, '\x01'), 16, 0x1000));
        QVERIFY(!devices.notify(kMouseId, 4, 0));
        devices.refreshDevices();
        QVERIFY(devices.deviceTable().isEmpty());
        // No device event ever arrives.
        dcsim({QStringLiteral("unplug")});
        QTest::qWait(300);
        QCOMPARE(changed.count(), 0);
    }

    void withMissingEntries()
    {
        const auto opened = open(QStringLiteral(PARTIAL_DC_FILE));
        devices_handler &devices = *opened;
        QVERIFY(devices.isLoaded());
        QStringList found = kAllEntries;
        for (const QString &name : devices.missingEntries())
            found.removeOne(name);
        QCOMPARE(found, (QStringList{QStringLiteral("dcDeviceExist"), QStringLiteral("dcDevices"),
                                     QStringLiteral("dcRead")}));
        // Listing works without the data subscription entry.
        QCOMPARE(deviceListCount(devices.listDevices()), 1);
        devices.refreshDevices();
        QCOMPARE(devices.deviceTable().keys(), QStringList{QStringLiteral("PARTIAL")});
        QCOMPARE(devices.deviceTable().first().HardwareID, QStringLiteral("partial-id"));
        QVERIFY(!devices.write(QStringLiteral("partial-id"), QByteArray(2048, '\0'), 1, 0));
        QVERIFY(!devices.notify(QStringLiteral("partial-id"), 1, 1));
        QCOMPARE(devices.read(QStringLiteral("partial-id"), 1, 0x10).at(100), '\x01');
        QCOMPARE(devices.readProp(QStringLiteral("partial-id"), 1, 5), QByteArray(2048, '\0'));
        QVERIFY(!devices.writeProp(QStringLiteral("partial-id"), QByteArray(1, '\x01'), 1, 5));
        const std::unique_ptr<FirmwareSession> session = devices.openFirmwareSession();
        QVERIFY(session->present(QStringLiteral("partial-id")));
        QVERIFY(!session->reset(QStringLiteral("partial-id")));
        QVERIFY(!session->erase(QStringLiteral("partial-id")));
    }

    void tableKeepsTheLaterOfTwoEqualIds()
    {
        qputenv("PARTIAL_DC_LIST", "dup");
        const auto opened = open(QStringLiteral(PARTIAL_DC_FILE));
        devices_handler &devices = *opened;
        QCOMPARE(parseDeviceList(devices.listDevices()).size(), 2);
        devices.refreshDevices();
        QCOMPARE(devices.deviceTable().size(), 1);
        QCOMPARE(devices.deviceTable().value(QStringLiteral("DUP")).SN, QStringLiteral("B"));

        // The library reads its environment in the process that loaded it: a new manager.
        qputenv("PARTIAL_DC_LIST", "many");
        const auto reopened = open(QStringLiteral(PARTIAL_DC_FILE));
        reopened->refreshDevices();
        QCOMPARE(reopened->deviceTable().size(), 20);
        QCOMPARE(reopened->deviceTable().firstKey(), QStringLiteral("DEV00"));
        QCOMPARE(reopened->deviceTable().lastKey(), QStringLiteral("DEV19"));
    }

    // Which devices' calls the commands make on the worker is what the listing says, not
    // what their hardware IDs look like; a device keeps it after it went away.
    void aDeviceListedAsWaitingIsCalledFromTheWorker()
    {
        qputenv("PARTIAL_DC_LIST", "waits");
        const auto opened = open(QStringLiteral(PARTIAL_DC_FILE));
        devices_handler &devices = *opened;
        QVERIFY(!devices.callsMayWait(QStringLiteral("waits-id")));
        const QList<DeviceInfo> listed = parseDeviceList(devices.listDevices());
        QCOMPARE(listed.size(), 2);
        QCOMPARE(listed[0].Flags, quint8(DC_FLAG_CALLS_WAIT));
        QCOMPARE(listed[1].Flags, quint8(0));
        QVERIFY(devices.callsMayWait(QStringLiteral("waits-id")));
        QVERIFY(devices.callsMayWait(QStringLiteral("WAITS-ID")));
        QVERIFY(!devices.callsMayWait(QStringLiteral("partial-id")));
        QVERIFY(!devices.callsMayWait(QStringLiteral("RATBAG\\")));
        // Listed no more: its commands still go where the earlier ones went.
        devices.refreshDevices();
        QCOMPARE(devices.deviceTable().keys(), QStringList{QStringLiteral("PARTIAL")});
        QVERIFY(devices.callsMayWait(QStringLiteral("waits-id")));
    }

    void withTheRealLibrary()
    {
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        QVERIFY(devices.isLoaded());
        QCOMPARE(devices.loadedThroughHost(), m_throughHost);
        QCOMPARE(devices.missingEntries(), QStringList());
        devices.refreshDevices();
        QCOMPARE(devices.deviceTable().size(), 1);
        const DeviceInfo mouse = devices.deviceTable().first();
        QCOMPARE(mouse.DeviceID, QStringLiteral("KELV-M1"));
        QCOMPARE(mouse.Version, QStringLiteral("1.0.0"));
        QCOMPARE(mouse.HardwareID, kMouseId);
        QCOMPARE(mouse.MASK, QStringLiteral("01"));
        QVERIFY(mouse.SN.startsWith(QStringLiteral("KM1")));
        QVERIFY(mouse.DevicePath.contains(QStringLiteral("pid_5e30")));

        QByteArray data(2048, '\0');
        data[0] = 0x4d;
        data[1] = 0x01;
        QVERIFY(devices.write(kMouseId, data, 2, 0x1000));
        QCOMPARE(devices.read(kMouseId, 3, 0x1000).left(4).toHex(), QByteArray("4d010000"));
        // Sizes are bounded to the block: nothing is read or written past 2048 bytes.
        QCOMPARE(devices.read(kMouseId, 100000, 0x1000).size(), 2048);
        QCOMPARE(devices.read(kMouseId, -3, 0x1000), QByteArray(2048, '\0'));
        QVERIFY(devices.write(kMouseId, QByteArray(10, '\x07'), 4000, 0x2000));
        QCOMPARE(devices.read(kMouseId, 11, 0x2000).left(11).toHex(),
                 QByteArray("0707070707070707070700"));
        QVERIFY(!devices.write(kMouseId, data, 2, 0xffff)); // past the memory: result 2
        QVERIFY(!devices.write(QStringLiteral("HID\\Vid_1234&Pid_0001"), data, 2, 0));
    }

    void propertiesAndTheFirmwareSession()
    {
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        QCOMPARE(devices.readProp(kMouseId, 2, 5).left(3).toHex(), QByteArray("040000"));
        QVERIFY(devices.writeProp(kMouseId, QByteArray::fromHex("02"), 1, 5));
        QCOMPARE(devices.readProp(kMouseId, 1, 5).left(2).toHex(), QByteArray("0200"));
        QVERIFY(!devices.writeProp(kMouseId, QByteArray::fromHex("09"), 1, 5)); // out of range
        QCOMPARE(devices.readProp(kMouseId, 100000, 5).size(), 2048);
        QCOMPARE(devices.readProp(kMouseId, 1, 99), QByteArray(2048, '\0'));

        // One firmware session at a time.
        std::unique_ptr<FirmwareSession> session = devices.openFirmwareSession();
        QVERIFY(session);
        QVERIFY(devices.firmwareSessionOpen());
        QVERIFY(!devices.openFirmwareSession());
        QVERIFY(session->present(kMouseId));
        QVERIFY(!session->present(kBootId));
        QVERIFY(!session->erase(kMouseId)); // the mouse is no boot loader
        QVERIFY(!session->writeChunk(kBootId, QByteArray(2001, 'x'), 0)); // above a chunk
        session.reset();
        QVERIFY(!devices.firmwareSessionOpen());
        QVERIFY(devices.openFirmwareSession());
    }

    void aSessionOutlivingItsManagerFails()
    {
        auto devices = open(libdcFile());
        std::unique_ptr<FirmwareSession> session = devices->openFirmwareSession();
        QVERIFY(session->present(kMouseId));
        devices.reset();
        QVERIFY(!session->present(kMouseId));
        QVERIFY(!session->reset(kMouseId));
        QVERIFY(!session->finish(kBootId));
        session.reset(); // closing touches no manager
        QVERIFY(!logText().contains(QStringLiteral("reset value")));
    }

    void notifyPacksTypeAndData()
    {
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        QVERIFY(devices.notify(kMouseId, 0x103, 0x3)); // type 3 (identify), 3 seconds
        QVERIFY(logText().contains(QStringLiteral("notify type=3 data=3 result=0")));
        // 0x0302: a factory reset with data 3, which the mouse refuses (it takes only 0).
        QVERIFY(!devices.notify(kMouseId, 0x102, 0x3));
        QVERIFY(logText().contains(QStringLiteral("notify type=2 data=3 result=2")));
        QVERIFY(!devices.notify(kMouseId, 0x107, 0));
        dcsim({QStringLiteral("fail"), QStringLiteral("notify")});
        QVERIFY(!devices.notify(kMouseId, 4, 0));
    }

    void dcsimPlugAndUnplugRebuildTheTable()
    {
        // Each plug or unplug is a burst of five events (one per interface of the composite
        // mouse): the first of each burst is acted on, so the table follows every change
        // with the event counter left as it was.
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        devices.refreshDevices();
        QSignalSpy changed(&devices, &devices_handler::devicesChanged);
        ThreadCheck threads;
        connect(&devices, &devices_handler::devicesChanged, this, [&] { threads.note(); });

        dcsim({QStringLiteral("unplug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
        QCOMPARE(changed.at(0).at(0).toInt(), 2);
        QVERIFY(devices.deviceTable().isEmpty());
        QCOMPARE(deviceListCount(devices.listDevices()), 0);
        QTRY_COMPARE_WITH_TIMEOUT(devices_handler::eventCounter(), 0, 10000);

        dcsim({QStringLiteral("plug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 2, 10000);
        QCOMPARE(changed.at(1).at(0).toInt(), 1);
        QCOMPARE(devices.deviceTable().keys(), QStringList{QStringLiteral("KELV-M1")});
        QTRY_COMPARE_WITH_TIMEOUT(devices_handler::eventCounter(), 0, 10000);
        QCOMPARE(threads.onMain, 2);
        QCOMPARE(threads.elsewhere, 0);
    }

    void onlyTheFirstAndEveryFifthEventIsActedOn()
    {
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        devices.refreshDevices();
        QSignalSpy changed(&devices, &devices_handler::devicesChanged);
        QList<int> tableSizes;
        connect(&devices, &devices_handler::devicesChanged, this,
                [&] { tableSizes << int(devices.deviceTable().size()); });

        // Five events (an unplug): the first is acted on, the other four only count.
        dcsim({QStringLiteral("unplug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(devices_handler::eventCounter(), 0, 10000);
        QCOMPARE(tableSizes, QList<int>{0});

        // Ten events in a row (a plug, then an unplug, both before the main thread looks):
        // the first and the sixth are acted on. The table is rebuilt from the devices as they
        // are when the event is handled, so both rebuilds see the mouse gone.
        dcsim({QStringLiteral("plug")});
        dcsim({QStringLiteral("unplug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 3, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(devices_handler::eventCounter(), 0, 10000);
        QCOMPARE(changed.at(1).at(0).toInt(), 1);
        QCOMPARE(changed.at(2).at(0).toInt(), 2);
        QCOMPARE(tableSizes, (QList<int>{0, 0, 0}));

        // The next event is acted on again and finds the mouse back.
        dcsim({QStringLiteral("plug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 4, 10000);
        QCOMPARE(tableSizes, (QList<int>{0, 0, 0, 1}));
        QCOMPARE(devices.deviceTable().keys(), QStringList{QStringLiteral("KELV-M1")});
        QTest::qWait(200);
        QCOMPARE(changed.count(), 4);
        QCOMPARE(devices_handler::eventCounter(), 0);
    }

    void dataReportsReachThePageAsHex()
    {
        const auto opened = open(libdcFile());
        devices_handler &devices = *opened;
        QSignalSpy data(&devices, &devices_handler::deviceData);
        ThreadCheck threads;
        connect(&devices, &devices_handler::deviceData, this, [&] { threads.note(); });
        QCOMPARE(deviceListCount(devices.listDevices()), 1); // subscribes to the first device
        dcsim({QStringLiteral("data"), QStringLiteral("01020AFF00000010")});
        QTRY_COMPARE_WITH_TIMEOUT(data.count(), 1, 10000);
        QCOMPARE(data.at(0).at(0).toString(), QStringLiteral("01020aff00000010"));
        // The DPI button: report 1 with the new stage and its DPI.
        dcsim({QStringLiteral("press"), QStringLiteral("dpi-down")});
        QTRY_COMPARE_WITH_TIMEOUT(data.count(), 2, 10000);
        QCOMPARE(data.at(1).at(0).toString(), QStringLiteral("0100900100000000"));
        QCOMPARE(threads.onMain, 2);
        QCOMPARE(threads.elsewhere, 0);
    }

    void callbacksAfterTheManagerIsGoneAreDropped()
    {
        auto devices = open(libdcFile());
        devices->listDevices();
        devices.reset();
        dcsim({QStringLiteral("unplug")});
        dcsim({QStringLiteral("data"), QStringLiteral("0000000000000001")});
        QTest::qWait(200); // nothing to crash into
        // A new manager takes the callbacks over.
        const auto reopened = open(libdcFile());
        devices_handler &again = *reopened;
        QSignalSpy changed(&again, &devices_handler::devicesChanged);
        dcsim({QStringLiteral("plug")});
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestDevicesHandler inProcess(false);
    TestDevicesHandler throughHost(true);
    return QTest::qExec(&inProcess, argc, argv) | QTest::qExec(&throughHost, argc, argv);
}
#include "tst_devices_handler.moc"
