// Razer mice through OpenRazer's real daemon (Debian's openrazer-daemon 3.5.1, unpacked) on a
// private session bus, serving fake device folders of four models, reached through the device
// manager and libdc's entry points as the program reaches them. Every value written is read
// back from the fake devices' files, where the daemon's hardware classes wrote it.

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/razer_daemon.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <future>
#include <memory>

using namespace kelv;
using namespace kelv::test;

namespace {

constexpr char kWiredSerial[] = "PM2012H1234567A";
constexpr char kWirelessSerial[] = "PM1947H7654321B";

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xff)) + char(v >> 8);
}

// The daemon's dpi_stages file: active stage (from 1), then big-endian X, Y per stage.
QList<int> stagesOfFile(const QByteArray &raw, int *active)
{
    QList<int> x;
    *active = raw.isEmpty() ? 0 : quint8(raw.at(0));
    for (int i = 1; i + 3 < raw.size(); i += 4)
        x << (quint8(raw.at(i)) << 8 | quint8(raw.at(i + 1)));
    return x;
}

} // namespace

class TestRazerd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<RazerDaemon> m_daemon;
    std::unique_ptr<devices_handler> m_devices;
    QString m_wired, m_wireless; // the fake devices' folders

    QString idOf(const char *part)
    {
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices())) {
            if (info.HardwareID.contains(QLatin1String(part)))
                return info.HardwareID;
        }
        return QString();
    }
    QString wired() { return idOf(kWiredSerial); }
    QString wireless() { return idOf(kWirelessSerial); }
    int razerCount()
    {
        int n = 0;
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices()))
            n += info.HardwareID.startsWith(QLatin1String("RAZER\\")) ? 1 : 0;
        return n;
    }

    QByteArray prop(const QString &id, quint32 prop, int size)
    {
        return m_devices->readProp(id, size, prop).left(size);
    }
    bool setProp(const QString &id, quint32 prop, const QByteArray &bytes)
    {
        return m_devices->writeProp(id, bytes, int(bytes.size()), prop);
    }
    int lastResult(const QString &id) { return quint8(prop(id, DC_PROP_LAST_RESULT, 1).at(0)); }
    QJsonObject description(const QString &id)
    {
        const QByteArray raw = prop(id, DC_PROP_DESCRIPTION, DC_TRANSFER_SIZE);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }
    QJsonObject serviceState()
    {
        const QByteArray raw =
            m_devices->readProp(QStringLiteral("OPENRAZER\\"), 512, DC_PROP_SERVICE_STATE);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }
    QByteArray file(const QString &folder, const char *name)
    {
        return m_daemon->file(folder, QLatin1String(name));
    }
    bool restartWith(int mice)
    {
        m_daemon->kill();
        if (!m_daemon->start(mice))
            return false;
        QElapsedTimer t;
        t.start();
        while (razerCount() != mice && t.elapsed() < 8000)
            QTest::qWait(20);
        return razerCount() == mice;
    }

private slots:
    void initTestCase()
    {
        if (const QString why = RazerDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        qputenv("KELV_BATTERY_POLL_SECONDS", "1");
        m_sim = std::make_unique<SimFolder>();
        m_daemon = std::make_unique<RazerDaemon>();
        QVERIFY(m_daemon->busRunning());
        m_wired = m_daemon->addMouse(RazerDaemon::Model::DeathAdderV2, kWiredSerial, 1, "1-3");
        m_wireless = m_daemon->addMouse(RazerDaemon::Model::ViperUltimateWireless, kWirelessSerial,
                                        2, "1-4");
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QVERIFY(m_devices->isLoaded());
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        m_daemon.reset();
        m_sim.reset();
        qunsetenv("KELV_BATTERY_POLL_SECONDS");
    }

    // Before the daemon runs: the simulated mouse alone, and the state says why. Once it runs,
    // its mice come without a restart.
    void daemonAbsentThenStarted()
    {
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("absent"));
        QCOMPARE(razerCount(), 0);
        QCOMPARE(serviceState().value("driver").toBool(), true);   // the tree has the module
        QCOMPARE(serviceState().value("hardware").toBool(), true); // and the mice's USB devices
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        QVERIFY(m_daemon->start(2));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 2, 8000);
        QVERIFY(changed.count() >= 1);
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("running"));
        QTRY_COMPARE(serviceState().value("mice").toInt(), 2);
        // Their calls wait for the daemon: the manager makes them off the GUI thread.
        QVERIFY(m_devices->callsMayWait(wired()));
    }

    // The identity comes from the daemon, vendor/product and serial; the description says what
    // each mouse has, from the methods the daemon offers for it.
    void identityAndDescription()
    {
        QCOMPARE(wired(), QStringLiteral("RAZER\\Vid_1532&Pid_0084&Sn_") + kWiredSerial);
        QCOMPARE(wireless(), QStringLiteral("RAZER\\Vid_1532&Pid_007b&Sn_") + kWirelessSerial);
        const QJsonObject w = description(wired());
        QCOMPARE(w.value("source").toString(), QStringLiteral("openrazer"));
        QCOMPARE(w.value("name").toString(), QStringLiteral("Razer DeathAdder V2"));
        QCOMPARE(w.value("model").toString(), QStringLiteral("1532:0084"));
        QCOMPARE(w.value("properties").toArray(), QJsonArray({1, 2, 3, 5, 8, 64, 65, 66, 68}));
        // getDPI without stages: one stage, a fixed count.
        QCOMPARE(w.value("stages").toObject().value("max").toInt(), 1);
        QCOMPARE(w.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray({100, 20000, 50})}));
        QCOMPARE(w.value("reportRates").toArray(),
                 QJsonArray({QJsonArray({1, 125}), QJsonArray({3, 500}), QJsonArray({4, 1000})}));
        const QJsonArray zones = w.value("lighting").toObject().value("leds").toArray();
        QCOMPARE(zones.size(), 2);
        QCOMPARE(zones.at(0).toObject().value("zone").toString(), QStringLiteral("logo"));
        QCOMPARE(zones.at(1).toObject().value("zone").toString(), QStringLiteral("scroll"));
        QCOMPARE(zones.at(0).toObject().value("effects").toArray(),
                 QJsonArray({0, 1, 2, 3, 5, 7, 8}));
        // No button remapping, no onboard macros, no battery.
        QCOMPARE(w.value("buttons").toObject().value("count").toInt(), 0);
        QCOMPARE(w.value("macros").toObject().value("slots").toInt(), 0);
        QCOMPARE(w.value("battery").toBool(), false);

        const QJsonObject l = description(wireless());
        QCOMPARE(l.value("properties").toArray(),
                 QJsonArray({1, 2, 3, 5, 8, 64, 65, 66, 67, 68, 69, 70}));
        QCOMPARE(l.value("stages").toObject().value("max").toInt(), 5);
        QCOMPARE(l.value("battery").toBool(), true);
        // 3.5.1 has setters only for the idle time and the threshold: kelv cannot read them.
        QCOMPARE(l.value("idle").toObject().value("read").toBool(), false);
        QCOMPARE(l.value("lowBattery").toObject().value("read").toBool(), false);
        // The firmware version and the record.
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices())) {
            if (info.HardwareID == wired()) {
                QCOMPARE(info.Version, QStringLiteral("v1.0"));
                QCOMPARE(info.SN, QString::fromLatin1(kWiredSerial).right(13));
            }
        }
    }

    // DPI: written and read back from the device's own files.
    void dpiAndStages()
    {
        // The daemon wrote 1800 DPI at start (no persistence file).
        QCOMPARE(file(m_wired, "dpi"), QByteArray("1800:1800"));
        QCOMPARE(prop(wired(), 3, 2), le16(1800));
        QVERIFY(setProp(wired(), 3, le16(1600)));
        QCOMPARE(file(m_wired, "dpi"), QByteArray("1600:1600"));
        QCOMPARE(prop(wired(), 3, 2), le16(1600));
        QCOMPARE(prop(wired(), 1, 1), QByteArray(1, 1));

        // Stages: the fixture's three, the second active (the daemon counts from 1).
        QCOMPARE(prop(wireless(), 1, 1), QByteArray(1, 3));
        QCOMPARE(prop(wireless(), 2, 1), QByteArray(1, 1));
        QCOMPARE(prop(wireless(), 3, 6), le16(400) + le16(800) + le16(1600));
        QVERIFY(setProp(wireless(), 3, le16(400) + le16(1200) + le16(3200)));
        int active = 0;
        QCOMPARE(stagesOfFile(m_daemon->file(m_wireless, "dpi_stages", false), &active),
                 QList<int>({400, 1200, 3200}));
        QCOMPARE(active, 2);
        // The current DPI follows the active stage (the daemon keeps them apart).
        QCOMPARE(file(m_wireless, "dpi"), QByteArray("1200:1200"));
        QVERIFY(setProp(wireless(), 2, QByteArray(1, 2)));
        stagesOfFile(m_daemon->file(m_wireless, "dpi_stages", false), &active);
        QCOMPARE(active, 3);
        QCOMPARE(file(m_wireless, "dpi"), QByteArray("3200:3200"));
        // Fewer stages: the active one moves to the last.
        QVERIFY(setProp(wireless(), 1, QByteArray(1, 2)));
        QCOMPARE(stagesOfFile(m_daemon->file(m_wireless, "dpi_stages", false), &active),
                 QList<int>({400, 1200}));
        QCOMPARE(active, 2);
        QCOMPARE(prop(wireless(), 1, 1), QByteArray(1, 2));
    }

    // The daemon takes a DPI above maxDPI without an error: kelv refuses it itself, and
    // nothing reaches the mouse.
    void valuesOutsideTheDeviceAreRefused()
    {
        QVERIFY(!setProp(wired(), 3, le16(20050)));
        QCOMPARE(lastResult(wired()), int(DC_BAD_ARGUMENT));
        QVERIFY(!setProp(wired(), 3, le16(1625))); // not a step of 50
        QCOMPARE(lastResult(wired()), int(DC_BAD_ARGUMENT));
        QCOMPARE(file(m_wired, "dpi"), QByteArray("1600:1600"));
        QVERIFY(setProp(wired(), 3, le16(20000)));
        QCOMPARE(file(m_wired, "dpi"), QByteArray("20000:20000"));
        QVERIFY(!setProp(wireless(), 1, QByteArray(1, 6))); // five stages at most
        QVERIFY(!setProp(wireless(), 2, QByteArray(1, 2))); // two stages now
        // Stages past the count take 0 (none) or a value of the mouse's, kept for later.
        QVERIFY(!setProp(wireless(), 3, le16(400) + le16(1200) + le16(99)));
        QVERIFY(setProp(wireless(), 3, le16(400) + le16(1200) + le16(0) + le16(5000) + le16(0)));
        QVERIFY(!setProp(wireless(), 3, QByteArray(12, 0)));
        // The daemon ignores a rate outside the model's list: kelv refuses it.
        // The daemon wrote 500 Hz at start (no persistence file), over the mouse's 1000.
        QCOMPARE(file(m_wired, "poll_rate"), QByteArray("500"));
        QCOMPARE(prop(wired(), 5, 1), QByteArray(1, 3));
        QVERIFY(!setProp(wired(), 5, QByteArray(1, 2)));     // 250 Hz
        QCOMPARE(lastResult(wired()), int(DC_BAD_ARGUMENT)); // kelv's refusal, not the read-back
        QCOMPARE(file(m_wired, "poll_rate"), QByteArray("500"));
        QVERIFY(setProp(wired(), 5, QByteArray(1, 4)));
        QCOMPARE(file(m_wired, "poll_rate"), QByteArray("1000"));
        QCOMPARE(prop(wired(), 5, 1), QByteArray(1, 4));
        // The battery is read only; so is everything the mouse does not have.
        QVERIFY(!setProp(wireless(), 67, QByteArray("\x32\x01", 2)));
        QVERIFY(!setProp(wired(), 67, QByteArray("\x32\x01", 2)));
        QVERIFY(!setProp(wired(), 7, QByteArray(4, 0)));
        QVERIFY(!setProp(wired(), 69, le16(600)));
    }

    // Every zone with its effects and brightness; read back from the effect files.
    void lightingZones()
    {
        // Zone records: effect, R, G, B, brightness, speed, R2, G2, B2.
        QByteArray logo("\x01\xff\x00\x00\x32\x01\x00\x00\x00", 9);   // static red, 50 %
        QByteArray scroll("\x07\x00\x00\xff\x64\x01\x00\xff\x00", 9); // breath blue/green
        QVERIFY(setProp(wired(), 8, logo + scroll));
        QCOMPARE(m_daemon->file(m_wired, "logo_matrix_effect_static", false),
                 QByteArray("\xff\x00\x00", 3));
        QCOMPARE(file(m_wired, "logo_led_brightness"), QByteArray("127")); // 50 % of 255
        QCOMPARE(m_daemon->file(m_wired, "scroll_matrix_effect_breath", false),
                 QByteArray("\x00\x00\xff\x00\xff\x00", 6));
        // The second colour is read back only where the effect uses it.
        QCOMPARE(prop(wired(), 8, 18).left(6), logo.left(6));
        QCOMPARE(prop(wired(), 8, 18).mid(9), scroll);
        // Reactive with its speed, then off.
        QByteArray reactive("\x05\x00\x80\x00\x32\x03\x00\x00\x00", 9);
        QVERIFY(setProp(wired(), 8, reactive));
        QCOMPARE(m_daemon->file(m_wired, "logo_matrix_effect_reactive", false),
                 QByteArray("\x03\x00\x80\x00", 4));
        QVERIFY(!setProp(wired(), 8, QByteArray("\x05\x00\x80\x00\x32\x09\x00\x00\x00", 9)));
        QVERIFY(!setProp(wired(), 8, QByteArray("\x06\x00\x80\x00\x32\x01\x00\x00\x00", 9)));
        QVERIFY(!setProp(wired(), 8, QByteArray("\x01\x00\x80\x00\x65\x01\x00\x00\x00", 9)));
        QVERIFY(setProp(wired(), 8, QByteArray("\x00\x00\x00\x00\x32\x03\x00\x00\x00", 9)));
        QCOMPARE(file(m_wired, "logo_matrix_effect_none"), QByteArray("1"));
    }

    // Effect sync is the daemon's (on by default): kelv reads and switches it.
    void effectSync()
    {
        const auto daemonSync = [this] {
            return m_daemon
                ->busctl({"call", "org.razer", "/org/razer", "razer.devices", "getSyncEffects"})
                .trimmed();
        };
        QCOMPARE(prop(wired(), 68, 1), QByteArray(1, 1));
        QCOMPARE(daemonSync(), QByteArray("b true"));
        QVERIFY(setProp(wireless(), 68, QByteArray(1, 0)));
        QCOMPARE(daemonSync(), QByteArray("b false"));
        QCOMPARE(prop(wired(), 68, 1), QByteArray(1, 0));
        QVERIFY(!setProp(wired(), 68, QByteArray(1, 2)));
    }

    // The battery: level and state, unknown for 0 % while not charging, an event on change.
    void battery()
    {
        QCOMPARE(prop(wireless(), 67, 2), QByteArray("\x32\x01", 2)); // 128/255: 50 %
        QVERIFY(prop(wired(), 67, 2) == QByteArray(2, 0));            // none: the read fails
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        m_daemon->setFile(m_wireless, "charge_status", "1");
        QTRY_COMPARE_WITH_TIMEOUT(prop(wireless(), 67, 2), QByteArray("\x32\x02", 2), 5000);
        QTRY_VERIFY(changed.contains(QVariantList{4}));
        m_daemon->setFile(m_wireless, "charge_level", "255");
        QTRY_COMPARE_WITH_TIMEOUT(prop(wireless(), 67, 2), QByteArray("\x64\x03", 2), 5000);
        // Asleep or out of reach: 0 % while not charging is not an empty battery.
        m_daemon->setFile(m_wireless, "charge_status", "0");
        m_daemon->setFile(m_wireless, "charge_level", "0");
        QTRY_COMPARE_WITH_TIMEOUT(prop(wireless(), 67, 2), QByteArray("\xff\x00", 2), 5000);
        m_daemon->setFile(m_wireless, "charge_level", "20");
        QTRY_COMPARE_WITH_TIMEOUT(prop(wireless(), 67, 2), QByteArray("\x08\x01", 2), 5000);
    }

    // Idle time and the mouse's own low-battery threshold: only setters in 3.5.1, so kelv
    // keeps what it set.
    void idleTimeAndThreshold()
    {
        QCOMPARE(prop(wireless(), 69, 2), le16(0)); // not known yet
        QVERIFY(setProp(wireless(), 69, le16(600)));
        QCOMPARE(file(m_wireless, "device_idle_time"), QByteArray("600"));
        QCOMPARE(prop(wireless(), 69, 2), le16(600));
        QVERIFY(!setProp(wireless(), 69, le16(59)));
        QVERIFY(!setProp(wireless(), 69, le16(901)));
        QVERIFY(setProp(wireless(), 70, QByteArray(1, 10)));
        QCOMPARE(file(m_wireless, "charge_low_threshold"), QByteArray("25")); // 10 % of 255
        QCOMPARE(prop(wireless(), 70, 1), QByteArray(1, 10));
        QCOMPARE(prop(wireless(), 69, 2), le16(600));
        QVERIFY(!setProp(wireless(), 70, QByteArray(1, 30)));
        QVERIFY(QDir(m_sim->file("openrazer")).entryList(QDir::Files).size() == 1);
    }

    // Hot plug follows the daemon's signals; a mouse without a serial (the daemon makes one up
    // at every start) is named by its USB port; an old model with a DPI list and lights that
    // are only on or off; a model whose report rates the daemon lists.
    void hotPlugAndOtherModels()
    {
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        const QString old = m_daemon->addMouse(RazerDaemon::Model::DeathAdder35G, "", 3, "1-5");
        const QString fast =
            m_daemon->addMouse(RazerDaemon::Model::Viper8KHz, "PM2105H0000001C", 4, "1-6");
        QVERIFY(m_daemon->replug(4));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 4, 5000);
        QTRY_VERIFY(changed.contains(QVariantList{1}));
        const QString oldId = idOf("Pid_0016");
        QCOMPARE(oldId, QStringLiteral("RAZER\\Vid_1532&Pid_0016&Port_1-5"));
        const QJsonObject d = description(oldId);
        QCOMPARE(d.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray({450, 450, 1}), QJsonArray({900, 900, 1}),
                             QJsonArray({1800, 1800, 1}), QJsonArray({3500, 3500, 1})}));
        QVERIFY(!setProp(oldId, 3, le16(1000)));
        QVERIFY(setProp(oldId, 3, le16(900)));
        QCOMPARE(file(old, "dpi"), QByteArray("900"));
        const QJsonArray zones = d.value("lighting").toObject().value("leds").toArray();
        QCOMPARE(zones.at(0).toObject().value("effects").toArray(), QJsonArray({0, 1}));
        QCOMPARE(zones.at(0).toObject().value("colour").toString(), QStringLiteral("none"));
        QVERIFY(setProp(oldId, 8, QByteArray(9, 0)));
        QCOMPARE(file(old, "logo_led_state"), QByteArray("0"));
        QCOMPARE(prop(oldId, 8, 1), QByteArray(1, 0));

        const QString fastId = idOf("PM2105H0000001C");
        QCOMPARE(description(fastId).value("reportRates").toArray().last().toArray(),
                 QJsonArray({7, 8000}));
        QVERIFY(setProp(fastId, 5, QByteArray(1, 7)));
        QCOMPARE(file(fast, "poll_rate"), QByteArray("8000"));

        // Unplugged: it goes, the others stay.
        changed.clear();
        m_daemon->removeMouse(fast);
        QVERIFY(m_daemon->replug(3));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 3, 5000);
        QTRY_VERIFY(changed.contains(QVariantList{2}));
        QVERIFY(idOf("PM2105H0000001C").isEmpty());
        QVERIFY(!setProp(fastId, 5, QByteArray(1, 4)));
        m_daemon->removeMouse(old);
        QVERIFY(m_daemon->replug(2));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 2, 5000);
    }

    // A mouse whose files vanish while kelv writes (unplugged before the daemon noticed): the
    // write fails, nothing is reported as done.
    void deviceGoneDuringWrite()
    {
        const QString id = wired();
        m_daemon->suspend();
        auto write = std::async(std::launch::async, [&] { return setProp(id, 3, le16(2400)); });
        m_daemon->removeMouse(m_wired);
        m_daemon->resume();
        QVERIFY(!write.get());
        QVERIFY(lastResult(id) != 0);
        QVERIFY(m_daemon->replug(1));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 1, 5000);
        m_wired = m_daemon->addMouse(RazerDaemon::Model::DeathAdderV2, kWiredSerial, 1, "1-3");
        QVERIFY(m_daemon->replug(2));
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 2, 5000);
        QCOMPARE(wired(), id); // the same mouse again
    }

    // A daemon that hangs costs two seconds per request; one killed takes its mice; started
    // again, they come back under the same IDs.
    void daemonHangsDiesAndComesBack()
    {
        const QString id = wireless();
        const int before = lastResult(id);
        m_daemon->suspend();
        QElapsedTimer t;
        t.start();
        QCOMPARE(prop(id, 5, 1), QByteArray(1, 0));
        QVERIFY(t.elapsed() < 4000);
        QCOMPARE(lastResult(id), before); // reads leave the last write's result
        m_daemon->resume();
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        m_daemon->kill();
        QTRY_COMPARE_WITH_TIMEOUT(razerCount(), 0, 5000);
        QTRY_VERIFY(changed.contains(QVariantList{2}));
        // The state is announced on its own; on a loaded machine it may follow the list.
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("absent"));
        QVERIFY(restartWith(2));
        QCOMPARE(wireless(), id);
        QVERIFY(setProp(id, 5, QByteArray(1, 4)));
        QCOMPARE(file(m_wireless, "poll_rate"), QByteArray("1000"));
    }
};

QTEST_GUILESS_MAIN(TestRazerd)
#include "tst_razerd.moc"
