// What the real daemon cannot be made to do, from small stand-ins on a private bus
// (fake_ratbagd, slow_ratbagd): replies of the wrong types, nonsense past every bound, a
// failed commit, a write that outlasts a second, keyboards and a headset, two mice of one
// model at once. kelv lists what it can check and only mice, keeps the rest out, never
// reports a failed commit as success nor a slow one as a failure, and gives each of two
// identical mice its own identity whatever the order they come in.

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/ratbag_daemon.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace kelv;
using namespace kelv::test;

class TestRatbagdFake : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<UserDataHome> m_data;
    QTemporaryDir m_sysfs;
    std::unique_ptr<RatbagDaemon> m_bus; // the private bus only; the stand-in owns the name
    std::unique_ptr<devices_handler> m_devices;
    QProcess m_fake;

    bool startFake(const char *mode, const QStringList &more = {})
    {
        stopFake();
        const bool slow = QLatin1String(mode) == QLatin1String("slow");
        m_fake.setProgram(slow ? QStringLiteral(SLOW_RATBAGD_FILE)
                               : QStringLiteral(FAKE_RATBAGD_FILE));
        m_fake.setArguments(slow ? more : QStringList{QLatin1String(mode)} + more);
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

    // The devices the service state says it does not show: "name:why" each.
    QStringList notShown()
    {
        QStringList out;
        const QJsonArray list =
            json(QStringLiteral("RATBAG\\"), DC_PROP_SERVICE_STATE).value("notShown").toArray();
        for (const QJsonValue &v : list)
            out << v.toObject().value("name").toString() + ":" +
                       v.toObject().value("why").toString();
        return out;
    }

    // A hidraw device in the test's sysfs tree: USB port and, where given, serial number.
    void plug(const QString &hidraw, const QString &port, const QString &serial)
    {
        const QString usb = m_sysfs.filePath("devices/pci0000:00/usb1/" + port);
        const QString hid = usb + "/" + port + ":1.0/0003:1038:1824.0001";
        QDir().mkpath(hid + "/hidraw/" + hidraw);
        QDir().mkpath(m_sysfs.filePath("class/hidraw"));
        for (const char *file : {"busnum", "devpath"}) {
            QFile f(usb + "/" + file);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("1\n");
        }
        QFile uevent(hid + "/uevent");
        QVERIFY(uevent.open(QIODevice::WriteOnly));
        uevent.write("HID_NAME=Mouse\nHID_UNIQ=" + serial.toUtf8() + "\n");
        QFile::remove(m_sysfs.filePath("class/hidraw/" + hidraw));
        QVERIFY(QFile::link(hid + "/hidraw/" + hidraw, m_sysfs.filePath("class/hidraw/" + hidraw)));
    }

private slots:
    void initTestCase()
    {
        m_sim = std::make_unique<SimFolder>();
        m_data = std::make_unique<UserDataHome>();
        qputenv("KELV_RATBAG_SYSFS", m_sysfs.path().toUtf8());
        qputenv("KELV_RATBAG_PAUSE_DIVISOR", "100");
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
        m_data.reset();
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
        // The keyboard and the headset the daemon serves too are not shown as mice; the
        // service state names them.
        QCOMPARE(mouse.Name, QStringLiteral("Newer mouse"));
        QTRY_COMPARE(notShown(), QStringList({"Logitech G513:keyboard", "Logitech G935:other",
                                              "LED device:unreadable"}));
        // The device kelv cannot read is read again 5 times after growing pauses (here 20 ms
        // to 320 ms), then left alone: the state says kelv no longer tries.
        auto retrying = [&] {
            return json(QStringLiteral("RATBAG\\"), DC_PROP_SERVICE_STATE)
                .value("notShown")
                .toArray()
                .at(2)
                .toObject()
                .value("retrying")
                .toBool();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!retrying(), 5000);
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

    // libratbag 0.17 has no DeviceType: the models of its device files that are keyboards
    // keep them out (here a G915), every other device is a mouse.
    void keyboardsOfADaemonWithoutDeviceTypesAreNotMice()
    {
        QVERIFY(startFake("older"));
        QTRY_COMPARE(mice().size(), 1);
        QCOMPARE(mice().first().HardwareID, QStringLiteral("RATBAG\\usb&Vid_046d&Pid_c539&Rev_0"));
        QTRY_COMPARE(notShown(), QStringList({"Logitech G915:keyboard"}));
        QCOMPARE(json(QStringLiteral("RATBAG\\"), DC_PROP_SERVICE_STATE).value("api").toInt(), 1);
    }

    // A write that takes the daemon 2.5 s (onboard profiles through a wireless receiver): the
    // daemon answers Commit at once and nothing else until its write ends. kelv waits for that
    // end as the daemon signals it (API 2: IsDirty; API 1: the Ping after Commit answered),
    // and the write succeeds; the next write does not commit again for nothing.
    void aSlowCommitIsWaitedFor_data()
    {
        QTest::addColumn<QString>("api");
        QTest::newRow("API 1") << QStringLiteral("1");
        QTest::newRow("API 2") << QStringLiteral("2");
    }
    void aSlowCommitIsWaitedFor()
    {
        QFETCH(QString, api);
        QVERIFY(startFake("slow", {api, QStringLiteral("2500")}));
        QTRY_COMPARE(mice().size(), 1);
        const QString id = mice().first().HardwareID;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(m_devices->writeProp(id, QByteArray(1, 3), 1, 5)); // 500 Hz
        QVERIFY2(timer.elapsed() >= 2400, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(int(m_devices->readProp(id, 1, DC_PROP_LAST_RESULT).at(0)), int(DC_OK));
        QCOMPARE(m_devices->readProp(id, 1, 5).at(0), '\x03');
        timer.restart();
        QVERIFY(m_devices->writeProp(id, QByteArray(1, 3), 1, 5)); // held already: no commit
        QVERIFY(timer.elapsed() < 2000);
    }

    // Two mice of one model at once, identified by serial number: after a restart that lists
    // them the other way round (the daemon's object paths follow plug order), each keeps its
    // hardware ID, and so its settings and macros.
    void identicalMiceKeepTheirIdentities()
    {
        plug(QStringLiteral("hidraw5"), QStringLiteral("1-2"), QStringLiteral("AAAA"));
        plug(QStringLiteral("hidraw6"), QStringLiteral("1-3"), QStringLiteral("BBBB"));
        QVERIFY(startFake("twins"));
        QTRY_COMPARE(mice().size(), 2);
        QHash<QString, QString> before; // object path -> hardware ID
        for (const DeviceInfo &m : mice())
            before.insert(m.DevicePath, m.HardwareID);
        const QString base = QStringLiteral("RATBAG\\usb&Vid_1038&Pid_1824&Rev_0");
        const QString a = before.value(RatbagDaemon::root() + "/device/hidraw5");
        const QString b = before.value(RatbagDaemon::root() + "/device/hidraw6");
        QCOMPARE(QSet<QString>({a, b}), QSet<QString>({base, base + "&Inst_2"}));

        // Plugged in the other order: hidraw5 is now the mouse with serial BBBB.
        plug(QStringLiteral("hidraw5"), QStringLiteral("1-3"), QStringLiteral("BBBB"));
        plug(QStringLiteral("hidraw6"), QStringLiteral("1-2"), QStringLiteral("AAAA"));
        QVERIFY(startFake("twins"));
        QTRY_COMPARE(mice().size(), 2);
        QHash<QString, QString> after;
        for (const DeviceInfo &m : mice())
            after.insert(m.DevicePath, m.HardwareID);
        QCOMPARE(after.value(RatbagDaemon::root() + "/device/hidraw5"), b);
        QCOMPARE(after.value(RatbagDaemon::root() + "/device/hidraw6"), a);

        // Without serial numbers the USB port tells them apart: each port keeps its ID.
        plug(QStringLiteral("hidraw5"), QStringLiteral("1-4"), QString());
        plug(QStringLiteral("hidraw6"), QStringLiteral("1-5"), QString());
        QVERIFY(startFake("twins"));
        QTRY_COMPARE(mice().size(), 2);
        QHash<QString, QString> byPort;
        for (const DeviceInfo &m : mice())
            byPort.insert(m.DevicePath, m.HardwareID);
        plug(QStringLiteral("hidraw5"), QStringLiteral("1-5"), QString());
        plug(QStringLiteral("hidraw6"), QStringLiteral("1-4"), QString());
        QVERIFY(startFake("twins"));
        QTRY_COMPARE(mice().size(), 2);
        for (const DeviceInfo &m : mice()) {
            const QString other = m.DevicePath.endsWith("hidraw5") ? "hidraw6" : "hidraw5";
            QCOMPARE(m.HardwareID, byPort.value(RatbagDaemon::root() + "/device/" + other));
        }
    }
};

QTEST_GUILESS_MAIN(TestRatbagdFake)
#include "tst_ratbagd_fake.moc"
