// What happens around the mice of libratbag's real daemon (ratbagd.devel on a private bus):
// a daemon that exits as it starts is started again
// after growing pauses, not after repeated failures until the user asks; the macro slots are
// kept in the user's data folder, moved there from where older versions kept them, and a
// slot that cannot be kept is a failure the page hears of. The pauses are divided by 100
// (KELV_RATBAG_PAUSE_DIVISOR) so the suite runs in seconds.

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/ratbag_daemon.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

const QByteArray kMouse = R"({"profiles":[
 {"is_active":true,"rate":1000,"report_rates":[1000],
  "resolutions":[{"xres":800,"yres":800,"dpi_min":400,"dpi_max":3200,"is_active":true}],
  "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
             {"action_type":"macro","macro":["+A","-A"]}]}]})";

const quint32 kSlot0 = 0x1000;

QByteArray slotRecord()
{
    return QByteArray::fromHex("4d0200") + QByteArray(29, '\0') +
           QByteArray::fromHex("011e00021e00");
}

} // namespace

class TestRatbagdLifecycle : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<UserDataHome> m_data;
    std::unique_ptr<RatbagDaemon> m_daemon;
    std::unique_ptr<devices_handler> m_devices;

    QString mouseId()
    {
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices())) {
            if (info.HardwareID.startsWith(QLatin1String("RATBAG\\")))
                return info.HardwareID;
        }
        return QString();
    }

    QJsonObject service()
    {
        const QByteArray raw =
            m_devices->readProp(QStringLiteral("RATBAG\\"), 512, DC_PROP_SERVICE_STATE);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }

    int lastResult(const QString &id)
    {
        return quint8(m_devices->readProp(id, 1, DC_PROP_LAST_RESULT).at(0));
    }

    static int lines(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
    }

private slots:
    void initTestCase()
    {
        if (const QString why = RatbagDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        qputenv("KELV_RATBAG_PAUSE_DIVISOR", "100");
        m_sim = std::make_unique<SimFolder>();
        m_data = std::make_unique<UserDataHome>();
        // Slots an older kelv kept beside the library: moved to the user's data folder.
        QVERIFY(QDir().mkpath(m_sim->file("ratbag")));
        QFile old(m_sim->file("ratbag/unknown-name-f70e9295.mem"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QByteArray memory(0x10000, '\0');
        memory.replace(kSlot0, slotRecord().size(), slotRecord());
        old.write(memory);
        old.close();
        m_daemon = std::make_unique<RatbagDaemon>();
        QVERIFY(m_daemon->start());
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QTRY_VERIFY(!mouseId().isEmpty());
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        m_daemon.reset();
        m_data.reset();
        m_sim.reset();
    }

    // The slots of the old place are the mouse's, now in the user's data folder; a slot that
    // cannot be kept there fails the write (result 11) and changes nothing.
    void slotsLiveInTheUsersDataFolder()
    {
        QVERIFY(!m_daemon->load(kMouse).isEmpty());
        QTRY_COMPARE(parseDeviceList(m_devices->listDevices()).size(), 2);
        const QString id = mouseId();
        QCOMPARE(id, QStringLiteral("RATBAG\\unknown&Name_f70e9295"));
        const QByteArray record = slotRecord();
        QCOMPARE(m_devices->read(id, int(record.size()), kSlot0).left(int(record.size())), record);
        QVERIFY(QFile::exists(m_data->ratbagFolder() + "/unknown-name-f70e9295.mem"));
        QVERIFY(!QFile::exists(m_sim->file("ratbag/unknown-name-f70e9295.mem")));

        // The folder cannot be written (a file in its place stops root as well as a user).
        QVERIFY(QDir(m_data->ratbagFolder()).removeRecursively());
        QFile blocker(m_data->ratbagFolder());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QByteArray other =
            QByteArray::fromHex("4d0100") + QByteArray(29, '\0') + QByteArray::fromHex("013000");
        QVERIFY(!m_devices->write(id, other, int(other.size()), kSlot0 + 0x800));
        QCOMPARE(lastResult(id), int(DC_STORE_FAILED));
        QCOMPARE(m_devices->read(id, 3, kSlot0 + 0x800).left(3), QByteArray(3, '\0'));
        QVERIFY(QFile::remove(m_data->ratbagFolder()));
        QVERIFY(m_devices->write(id, other, int(other.size()), kSlot0 + 0x800));
        QCOMPARE(lastResult(id), int(DC_OK));
        QVERIFY(QFile::exists(m_data->ratbagFolder() + "/unknown-name-f70e9295.mem"));
    }

    // A button whose macro has no events runs no slot: it does not read as the empty slot 0,
    // and a macro stored in slot 0 later is not sent to it.
    void aButtonWithoutEventsGetsNoSlot()
    {
        const QString device = m_daemon->load(R"({"profiles":[{"is_active":true,"rate":1000,
          "report_rates":[1000],"resolutions":[{"xres":800,"yres":800,"is_active":true}],
          "buttons":[{"action_type":"button","button":1},{"action_type":"macro","macro":[]}]}]})");
        QVERIFY(!device.isEmpty());
        QTRY_VERIFY(parseDeviceList(m_devices->listDevices()).size() == 2 &&
                    parseDeviceList(m_devices->listDevices()).last().DevicePath == device);
        const QString id = mouseId();
        QVERIFY(m_devices->write(id, QByteArray(0x800, '\0'), 0x800, kSlot0)); // slot 0 empty
        QCOMPARE(m_devices->readProp(id, 8, 7).left(8).toHex(), QByteArray("01010000ff000000"));
        const QByteArray record = slotRecord();
        QVERIFY(m_devices->write(id, record, int(record.size()), kSlot0));
        const QString button = m_daemon
                                   ->paths(m_daemon->paths(device, "Device", "Profiles").value(0),
                                           "Profile", "Buttons")
                                   .value(1);
        const QJsonArray mapping = m_daemon->property(button, "Button", "Mapping").toArray();
        QCOMPARE(mapping.at(1).toObject().value("data").toArray(), QJsonArray());
    }

    // A daemon that exits as it starts: started again after growing pauses, three times in
    // all, then not until the user asks (property 65 of RATBAG\ written with 1).
    void aDaemonThatExitsAtStartIsNotStartedForEver()
    {
        m_daemon.reset();
        QTRY_COMPARE(service().value("state").toString(), QStringLiteral("nobus"));
        m_daemon = std::make_unique<RatbagDaemon>(RatbagDaemon::Bus::Installable);
        QVERIFY(m_daemon->busRunning());
        const QString starts = m_daemon->folder() + "/starts";
        const QString script = m_daemon->folder() + "/exits.sh";
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(("#!/bin/sh\necho started >> '" + starts + "'\nexit 1\n").toUtf8());
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(m_daemon->install(script));
        QTRY_VERIFY_WITH_TIMEOUT(service().value("startGivenUp").toBool(), 10000);
        QCOMPARE(service().value("state").toString(), QStringLiteral("stopped"));
        QCOMPARE(lines(starts), 3);
        QTest::qWait(2000); // longer than every pause: no start more
        QCOMPARE(lines(starts), 3);

        // The user asks: started again (three more tries of the broken one).
        QVERIFY(m_devices->writeProp(QStringLiteral("RATBAG\\"), QByteArray(1, 1), 1,
                                     DC_PROP_SERVICE_STATE));
        QTRY_COMPARE(lines(starts), 6);
        QTRY_VERIFY(service().value("startGivenUp").toBool());
        // Mended (the real daemon installed), asked once more: it runs.
        QVERIFY(m_daemon->install());
        QVERIFY(m_devices->writeProp(QStringLiteral("RATBAG\\"), QByteArray(1, 1), 1,
                                     DC_PROP_SERVICE_STATE));
        QTRY_COMPARE_WITH_TIMEOUT(service().value("state").toString(), QStringLiteral("running"),
                                  10000);
        QVERIFY(!service().contains("startGivenUp"));
        QVERIFY(!mouseId().isEmpty());
        // Anything else written there is refused.
        QVERIFY(!m_devices->writeProp(QStringLiteral("RATBAG\\"), QByteArray(1, 2), 1,
                                      DC_PROP_SERVICE_STATE));
    }
};

QTEST_GUILESS_MAIN(TestRatbagdLifecycle)
#include "tst_ratbagd_lifecycle.moc"
