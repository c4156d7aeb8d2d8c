// What the real daemon cannot be made to do, from a small stand-in on a private bus
// (fake_ratbagd): replies of the wrong types, nonsense past every bound, a failed commit,
// and the properties of libratbag releases after 0.17. kelv lists what it can check, keeps
// the rest out, and never reports a failed commit as success.

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/ratbag_daemon.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using namespace kelv;
using namespace kelv::test;

class TestRatbagdFake : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<RatbagDaemon> m_bus; // the private bus only; the stand-in owns the name
    std::unique_ptr<devices_handler> m_devices;
    QProcess m_fake;

    bool startFake(const char *mode)
    {
        stopFake();
        m_fake.setProgram(QStringLiteral(FAKE_RATBAGD_FILE));
        m_fake.setArguments({QLatin1String(mode)});
        m_fake.setProcessChannelMode(QProcess::ForwardedChannels);
        m_fake.start();
        if (!m_fake.waitForStarted(5000))
            return false;
        return QTest::qWaitFor(
            [&] {
                return m_bus->busctl({"status", RatbagDaemon::kBusName}).contains("PID");
            },
            5000);
    }

    void stopFake()
    {
        if (m_fake.state() != QProcess::NotRunning) {
            m_fake.kill();
            m_fake.waitForFinished(5000);
        }
    }

    QList<DeviceInfo> mice()
    {
        QList<DeviceInfo> out;
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices())) {
            if (info.HardwareID.startsWith(QLatin1String("RATBAG\\")))
                out << info;
        }
        return out;
    }

    QJsonObject json(const QString &id, quint32 prop)
    {
        const QByteArray raw = m_devices->readProp(id, 2048, prop);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }

    QString state()
    {
        return json(QStringLiteral("RATBAG\\"), DC_PROP_SERVICE_STATE).value("state").toString();
    }

private slots:
    void initTestCase()
    {
        m_sim = std::make_unique<SimFolder>();
        m_bus = std::make_unique<RatbagDaemon>();
        QVERIFY(m_bus->busRunning());
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QTRY_COMPARE(state(), QStringLiteral("absent"));
    }

    void cleanupTestCase()
    {
        stopFake();
        m_devices.reset();
        m_bus.reset();
        m_sim.reset();
    }

    void repliesOfTheWrongTypesListNoMouse()
    {
        QVERIFY(startFake("malformed"));
        QTRY_COMPARE(state(), QStringLiteral("unsupported"));
        QVERIFY(mice().isEmpty());
        QCOMPARE(parseDeviceList(m_devices->listDevices()).size(), 1); // the simulated mouse
    }

    void nonsenseIsCutToWhatKelvChecks()
    {
        QVERIFY(startFake("nonsense"));
        QTRY_COMPARE(mice().size(), 16);
        // The state is announced on its own; on a loaded machine it may follow the list.
        QTRY_COMPARE(state(), QStringLiteral("running"));
        QSet<QString> ids;
        for (const DeviceInfo &mouse : mice()) {
            ids << mouse.HardwareID;
            QVERIFY(
                mouse.HardwareID.startsWith(QLatin1String("RATBAG\\usb&Vid_046d&Pid_c539&Rev_0")));
            QVERIFY(mouse.Name.startsWith(QStringLiteral("Mouse\u00e9")));
            QVERIFY(mouse.Name.toUtf8().size() <= 127);
            QVERIFY(mouse.DevicePath.size() < 255);
        }
        QCOMPARE(ids.size(), 16); // one model, sixteen instances
        QVERIFY(ids.contains(QStringLiteral("RATBAG\\usb&Vid_046d&Pid_c539&Rev_0&Inst_16")));

        const QString id = mice().first().HardwareID;
        const QJsonObject d = json(id, DC_PROP_DESCRIPTION);
        QCOMPARE(d.value("buttons").toObject().value("count").toInt(), 32);
        QCOMPARE(d.value("stages").toObject().value("max").toInt(), 16);
        QCOMPARE(d.value("lighting").toObject().value("leds").toArray().size(), 8);
        QCOMPARE(d.value("lighting")
                     .toObject()
                     .value("leds")
                     .toArray()
                     .at(0)
                     .toObject()
                     .value("colour")
                     .toString(),
                 QStringLiteral("none"));
        QCOMPARE(d.value("reportRates").toArray(), QJsonArray()); // no rate of the table
        QCOMPARE(d.value("buttons").toObject().value("allowed").toArray().at(0).toInt(), 510);
        // Values past every bound read as the closest the properties can say.
        QCOMPARE(m_devices->readProp(id, 4, 3).left(4).toHex(), QByteArray("ffffffff"));
        QCOMPARE(m_devices->readProp(id, 1, 5).at(0), '\0');
        QCOMPARE(m_devices->readProp(id, 4, 7).left(4).toHex(), QByteArray("ff000000"));
        QCOMPARE(m_devices->readProp(id, 8, 8).left(8).toHex(), QByteArray("ffff020364011027"));
        // And nothing of it can be written back as a value kelv made up.
        QVERIFY(!m_devices->writeProp(id, QByteArray(1, 7), 1, 5));
    }

    void aFailedCommitIsNeverReportedAsSuccess()
    {
        QVERIFY(startFake("newer"));
        QTRY_COMPARE(mice().size(), 1);
        const DeviceInfo mouse = mice().first();
        QCOMPARE(mouse.Version, QStringLiteral("1.2.3"));
        QCOMPARE(mouse.HardwareID, QStringLiteral("RATBAG\\usb&Vid_1038&Pid_1824&Rev_0"));
        // Newer daemons: angle snapping and debounce are there.
        const QJsonObject d = json(mouse.HardwareID, DC_PROP_DESCRIPTION);
        QCOMPARE(d.value("angleSnap").toBool(), true);
        QCOMPARE(d.value("debounce").toArray(), QJsonArray({2, 4, 8}));
        QCOMPARE(json(mouse.HardwareID, DC_PROP_SERVICE_STATE).value("api").toInt(), 2);
        QVERIFY(m_devices->writeProp(mouse.HardwareID, QByteArray(1, 1), 1, 9));
        QVERIFY(m_devices->writeProp(mouse.HardwareID, QByteArray(1, 8), 1, 10));
        const QString profile = RatbagDaemon::root() + QStringLiteral("/profile/hidraw7/p0");
        QCOMPARE(m_bus->property(profile, "Profile", "Debounce").toInt(), 8);
        QCOMPARE(m_bus->property(profile, "Profile", "AngleSnapping").toInt(), 1);
        QVERIFY(
            !m_devices->writeProp(mouse.HardwareID, QByteArray(1, 5), 1, 10)); // not in Debounces

        // The daemon cannot write the mouse: it signals Resync before it answers again.
        QSignalSpy data(m_devices.get(), &devices_handler::deviceData);
        bool ok = false;
        m_bus->busctl({"call", RatbagDaemon::kBusName, RatbagDaemon::root(),
                       RatbagDaemon::interface("Manager"), "FailCommits", "b", "true"},
                      &ok);
        QVERIFY(ok);
        QVERIFY(!m_devices->writeProp(mouse.HardwareID, QByteArray(1, 0), 1, 9));
        QCOMPARE(int(m_devices->readProp(mouse.HardwareID, 1, DC_PROP_LAST_RESULT).at(0)),
                 int(DC_COMMIT_FAILED));
        QTRY_VERIFY(!data.isEmpty());
        QVERIFY(data.first().at(0).toString().startsWith(QLatin1String("0501")));
        // The daemon holds the value it could not write to the mouse: the same write again
        // is not done by finding it there, it commits again (and fails again).
        QVERIFY(!m_devices->writeProp(mouse.HardwareID, QByteArray(1, 0), 1, 9));
        QCOMPARE(int(m_devices->readProp(mouse.HardwareID, 1, DC_PROP_LAST_RESULT).at(0)),
                 int(DC_COMMIT_FAILED));
        m_bus->busctl({"call", RatbagDaemon::kBusName, RatbagDaemon::root(),
                       RatbagDaemon::interface("Manager"), "FailCommits", "b", "false"},
                      &ok);
        QVERIFY(ok);
        QVERIFY(m_devices->writeProp(mouse.HardwareID, QByteArray(1, 0), 1, 9));
        QCOMPARE(int(m_devices->readProp(mouse.HardwareID, 1, DC_PROP_LAST_RESULT).at(0)),
                 int(DC_OK));
    }
};

QTEST_GUILESS_MAIN(TestRatbagdFake)
#include "tst_ratbagd_fake.moc"
