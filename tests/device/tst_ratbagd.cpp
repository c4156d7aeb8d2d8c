// Real mice through libratbag's real daemon: ratbagd.devel on a private system bus, serving
// test devices of three shapes, reached through the device manager and libdc's entry points
// as the program reaches them. Every value written is read back from the daemon itself
// (busctl), never from kelv.

#include "device/device_list.h"
#include "device/devices_handler.h"
#include "libdc/libdc.h"
#include "tests/libdc/sim_fixture.h"
#include "tests/testsupport/ratbag_daemon.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <thread>

using namespace kelv;
using namespace kelv::test;

namespace {

// A many-button mouse: three onboard profiles (the first two named, the third one can be
// disabled), five resolutions from 100 to 12000 DPI (with ratbagd 0.18 each can be
// disabled), eleven buttons, two LEDs.
const QByteArray kManyButtonsTemplate = R"({"profiles":[
 {"is_active":true,"rate":1000,"report_rates":[125,250,500,1000],"name":"Work",
  "resolutions":[{"xres":400,"yres":400,"dpi_min":100,"dpi_max":12000,"is_active":true%CAP%},
                 {"xres":800,"yres":800,"is_default":true%CAP%},{"xres":1600,"yres":1600%CAP%},
                 {"xres":3200,"yres":3200%CAP%},{"xres":6400,"yres":6400%CAP%}],
  "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
             {"action_type":"button","button":3},{"action_type":"special","special":"resolution-up"},
             {"action_type":"special","special":"resolution-down"},
             {"action_type":"macro","macro":["+LEFTCTRL","+C","-C","-LEFTCTRL"]},
             {"action_type":"button","button":4},{"action_type":"button","button":5},
             {"action_type":"special","special":"profile-cycle-up"},
             {"action_type":"special","special":"wheel-up"},{"action_type":"button","button":8}],
  "leds":[{"type":1,"mode":1,"color":[255,0,0],"brightness":50,"duration":1000},
          {"type":2,"mode":3,"color":[0,0,255],"brightness":100,"duration":3000}]},
 {"is_active":false,"rate":500,"name":"Play","resolutions":[{"xres":1000,"yres":1000,"is_active":true}]},
 {"is_active":false,"rate":250,"capabilities":[102],
  "resolutions":[{"xres":2000,"yres":2000,"is_active":true}]}]})";

// A minimal mouse: three buttons, one resolution, no LED.
const QByteArray kMinimal = R"({"profiles":[
 {"is_active":true,"rate":1000,"report_rates":[1000],
  "resolutions":[{"xres":800,"yres":800,"dpi_min":800,"dpi_max":800,"is_active":true}],
  "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
             {"action_type":"button","button":3}]}]})";

// A mouse whose fourth button runs a macro (A pressed, 100 ms, released).
const QByteArray kMacroButton = R"({"profiles":[
 {"is_active":true,"rate":500,"report_rates":[500,1000],
  "resolutions":[{"xres":800,"yres":800,"dpi_min":400,"dpi_max":3200,"is_active":true},
                 {"xres":1600,"yres":1600}],
  "buttons":[{"action_type":"button","button":1},{"action_type":"button","button":2},
             {"action_type":"button","button":3},{"action_type":"macro","macro":["+A","t100","-A"]},
             {"action_type":"button","button":4}],
  "leds":[{"type":1,"mode":2,"color":[0,255,0],"brightness":20,"duration":2000}]}]})";

// The many-button mouse for the daemon the suite runs against: ratbagd 0.17 takes no
// resolution capability 2 (disable), 0.18 has it on every resolution of the first profile.
QByteArray manyButtons()
{
    QByteArray json = kManyButtonsTemplate;
    return json.replace("%CAP%", RatbagDaemon::api() >= 2 ? R"(,"capabilities":[2])" : "");
}

QByteArray le16(int v)
{
    return QByteArray(1, char(v & 0xff)) + char(v >> 8);
}

} // namespace

class TestRatbagd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<SimFolder> m_sim;
    std::unique_ptr<UserDataHome> m_data;
    std::unique_ptr<RatbagDaemon> m_daemon;
    std::unique_ptr<devices_handler> m_devices;
    QString m_device; // the daemon's object path of the mouse loaded last
    QHash<QString, QStringList> m_paths;

    // The ratbagd mouse in the manager's list (empty when there is none).
    DeviceInfo listedMouse()
    {
        for (const DeviceInfo &info : parseDeviceList(m_devices->listDevices())) {
            if (info.HardwareID.startsWith(QLatin1String("RATBAG\\")))
                return info;
        }
        return DeviceInfo();
    }

    QString mouseId() { return listedMouse().HardwareID; }

    // Loads a test device and waits until the manager lists it.
    bool load(const QByteArray &json)
    {
        const QString before = listedMouse().SN;
        m_device = m_daemon->load(json);
        if (m_device.isEmpty())
            return false;
        const QString sn = m_device.mid(m_device.lastIndexOf('/') + 1);
        QElapsedTimer timer;
        timer.start();
        while (listedMouse().SN != sn && timer.elapsed() < 5000)
            QTest::qWait(10);
        return listedMouse().SN == sn && sn != before;
    }

    QByteArray prop(quint32 id, int size)
    {
        return m_devices->readProp(mouseId(), size, id).left(size);
    }

    bool setProp(quint32 id, const QByteArray &bytes)
    {
        return m_devices->writeProp(mouseId(), bytes, int(bytes.size()), id);
    }

    int lastResult() { return quint8(prop(DC_PROP_LAST_RESULT, 1).at(0)); }

    QJsonObject description()
    {
        const QByteArray raw = prop(DC_PROP_DESCRIPTION, DC_TRANSFER_SIZE);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }

    QJsonObject serviceState()
    {
        const QByteArray raw =
            m_devices->readProp(QStringLiteral("RATBAG\\"), 512, DC_PROP_SERVICE_STATE);
        return QJsonDocument::fromJson(raw.left(raw.indexOf('\0'))).object();
    }

    // The daemon's objects of the mouse loaded last, and what they hold.
    // (Object paths do not change while the device stays: read once per device.)
    QStringList cached(const QString &path, const char *iface, const char *name)
    {
        const QString key = path + QLatin1Char(' ') + QLatin1String(name);
        if (!m_paths.contains(key))
            m_paths.insert(key, m_daemon->paths(path, QLatin1String(iface), QLatin1String(name)));
        return m_paths.value(key);
    }
    QStringList profiles() { return cached(m_device, "Device", "Profiles"); }
    QStringList resolutions(int profile = 0)
    {
        return cached(profiles().value(profile), "Profile", "Resolutions");
    }
    QStringList buttons() { return cached(profiles().value(0), "Profile", "Buttons"); }
    QStringList leds() { return cached(profiles().value(0), "Profile", "Leds"); }
    int daemonDpi(int stage, int profile = 0)
    {
        return m_daemon->property(resolutions(profile).value(stage), "Resolution", "Resolution")
            .toObject()
            .value("data")
            .toInt();
    }
    QJsonValue daemon(const QString &path, const char *iface, const char *name)
    {
        return m_daemon->property(path, QLatin1String(iface), QLatin1String(name));
    }
    QJsonArray mapping(int button)
    {
        return daemon(buttons().value(button), "Button", "Mapping").toArray();
    }

private slots:
    void initTestCase()
    {
        if (const QString why = RatbagDaemon::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        m_sim = std::make_unique<SimFolder>();
        m_data = std::make_unique<UserDataHome>();
        qputenv("KELV_RATBAG_PAUSE_DIVISOR", "10");
        // The private bus first: libdc's service finds it when the manager loads the library.
        m_daemon = std::make_unique<RatbagDaemon>();
        QVERIFY(m_daemon->busRunning());
        m_devices = std::make_unique<devices_handler>(libdcFile(), nullptr);
        QVERIFY(m_devices->isLoaded());
    }

    void cleanupTestCase()
    {
        m_devices.reset();
        m_daemon.reset();
        m_data.reset();
        m_sim.reset();
    }

    // Before the daemon runs: the simulated mouse alone, and the state says why.
    void withoutTheDaemonOnlyTheSimulatedMouseIsListed()
    {
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("absent"));
        QCOMPARE(serviceState().value("bus").toString(), QLatin1String(RatbagDaemon::kBusName));
        const QList<DeviceInfo> list = parseDeviceList(m_devices->listDevices());
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().DeviceID, QStringLiteral("KELV-M1"));
        // The daemon's ID answers nothing else, and no mouse is there.
        QCOMPARE(m_devices->readProp("RATBAG\\", 1, 1).at(0), '\0');
        QVERIFY(
            !m_devices->writeProp("RATBAG\\usb&Vid_046d&Pid_c539&Rev_0", QByteArray(1, 1), 1, 2));
    }

    void aDaemonThatComesUpLaterIsPickedUp()
    {
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        QVERIFY(m_daemon->start());
        QTRY_VERIFY_WITH_TIMEOUT(!listedMouse().HardwareID.isEmpty(), 2000);
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("running"));
        QCOMPARE(serviceState().value("api").toInt(), RatbagDaemon::api());
        QCOMPARE(serviceState().value("mice").toInt(), 1);
        QTRY_VERIFY(!changed.isEmpty());
    }

    void theMouseIsListedWithTheDaemonsIdentity()
    {
        QVERIFY(load(manyButtons()));
        const DeviceInfo info = listedMouse();
        // Test devices have no USB model: the name stands for it.
        QVERIFY2(info.HardwareID.startsWith(QLatin1String("RATBAG\\unknown&Name_")),
                 qPrintable(info.HardwareID));
        QVERIFY(info.DeviceID.startsWith(QLatin1String("RATBAG-unknown-")));
        QCOMPARE(info.MASK, QStringLiteral("01"));
        QCOMPARE(info.SN, m_device.mid(m_device.lastIndexOf('/') + 1));
        QCOMPARE(info.DevicePath, m_device);
        QCOMPARE(info.Name, QStringLiteral("Test device"));
        QCOMPARE(info.Model, QStringLiteral("unknown"));
        QCOMPARE(info.Version, QString());
        // The simulated mouse stays first, and first in the device table.
        QCOMPARE(parseDeviceList(m_devices->listDevices()).first().DeviceID,
                 QStringLiteral("KELV-M1"));
        m_devices->refreshDevices();
        QCOMPARE(m_devices->deviceTable().firstKey(), QStringLiteral("KELV-M1"));
        QVERIFY(m_devices->deviceTable().contains(info.DeviceID));
    }

    void theDescriptionTellsWhatTheManyButtonMouseHas()
    {
        const QJsonObject d = description();
        QCOMPARE(d.value("source").toString(), QStringLiteral("ratbagd"));
        QCOMPARE(d.value("name").toString(), QStringLiteral("Test device"));
        QVERIFY(d.value("tag").toInt() >= 1);
        QCOMPARE(d.value("properties").toArray(),
                 QJsonArray({1, 2, 3, 5, 7, 8, 12, 13, 14, 15, 16, 64, 65, 66}));
        QCOMPARE(d.value("stages").toObject().value("max").toInt(), 5);
        QCOMPARE(d.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray{100, 1000, 50}, QJsonArray{1100, 2600, 100},
                             QJsonArray{2800, 5000, 200}, QJsonArray{5500, 12000, 500}}));
        QCOMPARE(d.value("reportRates").toArray().size(), 4);
        QCOMPARE(d.value("buttons").toObject().value("count").toInt(), 11);
        QCOMPARE(d.value("lighting").toObject().value("leds").toArray().size(), 2);
        QCOMPARE(d.value("profiles").toObject().value("count").toInt(), 3);
        QCOMPARE(d.value("profiles").toObject().value("disable").toBool(), true);
        QCOMPARE(d.value("profiles").toObject().value("names").toBool(), true);
        QCOMPARE(d.value("profiles").toObject().value("rename").toArray(), QJsonArray({0, 1}));
        // Disabling a stage: ratbagd 0.18, where the resolution says it can be.
        QCOMPARE(d.value("stages").toObject().value("disable").toBool(), RatbagDaemon::api() >= 2);
        QCOMPARE(d.value("firmware").toBool(), false);
    }

    void everyControlIsWrittenAndReadBackFromTheDaemon()
    {
        // Resolutions: values, the active and the default stage.
        QCOMPARE(prop(1, 1).toHex(), QByteArray("05"));
        QCOMPARE(prop(3, 10), le16(400) + le16(800) + le16(1600) + le16(3200) + le16(6400));
        QVERIFY(setProp(3, le16(500) + le16(900) + le16(1600) + le16(3400) + le16(12000)));
        QCOMPARE(daemonDpi(0), 500);
        QCOMPARE(daemonDpi(1), 900);
        QCOMPARE(daemonDpi(3), 3400);
        QCOMPARE(daemonDpi(4), 12000);
        QCOMPARE(prop(3, 4), le16(500) + le16(900));
        QVERIFY(setProp(2, QByteArray(1, 3)));
        QCOMPARE(daemon(resolutions().value(3), "Resolution", "IsActive").toBool(), true);
        QCOMPARE(daemon(resolutions().value(0), "Resolution", "IsActive").toBool(), false);
        QCOMPARE(prop(2, 1).toHex(), QByteArray("03"));
        QCOMPARE(prop(12, 1).toHex(), QByteArray("01"));
        QVERIFY(setProp(12, QByteArray(1, 4)));
        QCOMPARE(daemon(resolutions().value(4), "Resolution", "IsDefault").toBool(), true);
        QCOMPARE(daemon(resolutions().value(1), "Resolution", "IsDefault").toBool(), false);
        QVERIFY(setProp(1, QByteArray(1, 5)));  // the count it has
        QVERIFY(!setProp(1, QByteArray(1, 4))); // a count it cannot have
        QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));

        // Report rate.
        QCOMPARE(prop(5, 1).toHex(), QByteArray("04"));
        QVERIFY(setProp(5, QByteArray(1, 2)));
        QCOMPARE(daemon(profiles().value(0), "Profile", "ReportRate").toInt(), 250);
        QVERIFY(!setProp(5, QByteArray(1, 5))); // 2000 Hz is not in ReportRates
        QCOMPARE(daemon(profiles().value(0), "Profile", "ReportRate").toInt(), 250);

        // Buttons: a mouse button, a key (as the daemon's macro), a DPI and a profile function.
        QCOMPARE(prop(7, 12).toHex(), QByteArray("010100000102000001030000"));
        QCOMPARE(prop(7, 24).mid(12, 12).toHex(), QByteArray("03030000030400000201"
                                                             "2e00"));
        QByteArray buttons = QByteArray::fromHex("01020000"
                                                 "02021e00"
                                                 "03010000"
                                                 "04020000"
                                                 "07090000");
        QVERIFY(setProp(7, buttons));
        QCOMPARE(mapping(0), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 2}}}));
        QCOMPARE(mapping(1).at(0).toInt(), 4); // Shift+A as a macro
        QCOMPARE(mapping(1).at(1).toObject().value("data").toArray(),
                 QJsonArray(
                     {QJsonArray{1, 42}, QJsonArray{1, 30}, QJsonArray{2, 30}, QJsonArray{2, 42}}));
        QCOMPARE(mapping(2), QJsonArray({2, QJsonObject{{"type", "u"}, {"data", 0x40000007}}}));
        QCOMPARE(mapping(3), QJsonArray({2, QJsonObject{{"type", "u"}, {"data", 0x4000000e}}}));
        QCOMPARE(mapping(4), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 9}}}));
        QCOMPARE(prop(7, 20), buttons);
        // What the other buttons held is untouched.
        QCOMPARE(mapping(9), QJsonArray({2, QJsonObject{{"type", "u"}, {"data", 0x40000004}}}));

        // LEDs: mode, colour, duration, brightness of both.
        // (the test devices' brightness is the daemon's 0-255: 50 is 20 %, 100 is 39 %)
        QCOMPARE(prop(8, 16).toHex(), QByteArray("01ff000014"
                                                 "0ae803"
                                                 "020000ff"
                                                 "2708b80b"));
        QVERIFY(setProp(8, QByteArray::fromHex("02102030"
                                               "32"
                                               "01"
                                               "1027"
                                               "03aabbcc"
                                               "00"
                                               "01"
                                               "f401")));
        QCOMPARE(daemon(leds().value(0), "Led", "Mode").toInt(), 3);
        QCOMPARE(daemon(leds().value(0), "Led", "Color").toArray(), QJsonArray({0x10, 0x20, 0x30}));
        QCOMPARE(daemon(leds().value(0), "Led", "EffectDuration").toInt(), 10000);
        QCOMPARE(daemon(leds().value(0), "Led", "Brightness").toInt(), 128);
        QCOMPARE(daemon(leds().value(1), "Led", "Mode").toInt(), 2);
        QCOMPARE(daemon(leds().value(1), "Led", "EffectDuration").toInt(), 500);
        QCOMPARE(daemon(leds().value(1), "Led", "Brightness").toInt(), 0);
        QVERIFY(!setProp(8, QByteArray::fromHex("0400000032050000"))); // wave is no mode here

        // Onboard profiles: the third one off and on (exactly that one, whichever way round
        // the daemon's API says it), the second one active.
        QCOMPARE(prop(15, 2).toHex(), QByteArray("0700"));
        QVERIFY(setProp(15, QByteArray::fromHex("0300")));
        QCOMPARE(m_daemon->profileEnabled(profiles().value(2)), false);
        QCOMPARE(m_daemon->profileEnabled(profiles().value(0)), true);
        QCOMPARE(m_daemon->profileEnabled(profiles().value(1)), true);
        QCOMPARE(prop(15, 2).toHex(), QByteArray("0300"));
        QVERIFY(!setProp(15, QByteArray::fromHex("0500"))); // the second cannot be disabled
        QVERIFY(setProp(15, QByteArray::fromHex("0700")));
        QCOMPARE(m_daemon->profileEnabled(profiles().value(2)), true);
        QCOMPARE(prop(14, 1).toHex(), QByteArray("00"));
        QVERIFY(setProp(14, QByteArray(1, 1)));
        QCOMPARE(daemon(profiles().value(1), "Profile", "IsActive").toBool(), true);
        QCOMPARE(daemon(profiles().value(0), "Profile", "IsActive").toBool(), false);
        // Now every control is the second profile's.
        QCOMPARE(prop(1, 1).toHex(), QByteArray("05"));
        QCOMPARE(prop(3, 2), le16(1000));
        QVERIFY(setProp(3, le16(700)));
        QCOMPARE(daemonDpi(0, 1), 700);
        QCOMPARE(daemonDpi(0, 0), 500);
        QVERIFY(setProp(14, QByteArray(1, 0)));
        QCOMPARE(lastResult(), int(DC_OK));
    }

    void aValueTheDaemonRefusesChangesNothing()
    {
        QVERIFY(load(manyButtons()));
        // 1050 DPI is within the range but not in the daemon's list (steps of 100 above 1000):
        // the daemon takes the first stage and refuses the second; kelv puts the first back.
        QVERIFY(!setProp(3, le16(600) + le16(1050)));
        QCOMPARE(lastResult(), int(DC_REFUSED));
        QCOMPARE(daemonDpi(0), 400);
        QCOMPARE(daemonDpi(1), 800);
        QCOMPARE(prop(3, 4), le16(400) + le16(800));
        // A value it takes is written as before.
        QVERIFY(setProp(3, le16(600)));
        QCOMPARE(lastResult(), int(DC_OK));
        QCOMPARE(daemonDpi(0), 600);
    }

    // ratbagd 0.18 disables a stage where the resolution can be (capability 2): exactly that
    // one, never the active nor the default stage; 0.17 has no way to, and says so.
    void stagesAreDisabledWhereTheDaemonCan()
    {
        QVERIFY(load(manyButtons()));
        QCOMPARE(prop(13, 2).toHex(), QByteArray("0000"));
        if (RatbagDaemon::api() < 2) {
            QVERIFY(!setProp(13, QByteArray::fromHex("0400")));
            QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));
            return;
        }
        QVERIFY(setProp(13, QByteArray::fromHex("0c00"))); // stages 2 and 3
        for (int i = 0; i < 5; ++i)
            QCOMPARE(daemon(resolutions().value(i), "Resolution", "IsDisabled").toBool(),
                     i == 2 || i == 3);
        QCOMPARE(prop(13, 2).toHex(), QByteArray("0c00"));
        QVERIFY(!setProp(13, QByteArray::fromHex("0d00"))); // the active stage
        QVERIFY(!setProp(13, QByteArray::fromHex("0e00"))); // the default stage
        QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));
        QVERIFY(!setProp(2, QByteArray(1, 2)));  // a disabled stage is not made active
        QVERIFY(!setProp(12, QByteArray(1, 3))); // nor the default
        QVERIFY(setProp(13, QByteArray::fromHex("0400")));
        QCOMPARE(daemon(resolutions().value(3), "Resolution", "IsDisabled").toBool(), false);
        QCOMPARE(daemon(resolutions().value(2), "Resolution", "IsDisabled").toBool(), true);
    }

    // The onboard profiles' names: read, and written where the daemon lets them change (a
    // profile that has one); a nameless profile keeps none.
    void onboardProfileNamesAreShownAndRenamed()
    {
        QVERIFY(load(manyButtons()));
        const QByteArray names = prop(16, 3 * 64);
        QCOMPARE(names.mid(0, 64), QByteArray("Work") + QByteArray(60, '\0'));
        QCOMPARE(names.mid(64, 64), QByteArray("Play") + QByteArray(60, '\0'));
        QCOMPARE(names.mid(128, 64), QByteArray(64, '\0'));
        const QByteArray renamed = QByteArray("B\xc3\xbcro") + QByteArray(59, '\0');
        QVERIFY(setProp(16, renamed));
        QCOMPARE(daemon(profiles().value(0), "Profile", "Name").toString(),
                 QStringLiteral("B\u00fcro"));
        QCOMPARE(daemon(profiles().value(1), "Profile", "Name").toString(), QStringLiteral("Play"));
        QCOMPARE(prop(16, 64), renamed);
        // The third has no name to change; an empty name or one that is no UTF-8 is refused.
        QVERIFY(!setProp(16, renamed + names.mid(64, 64) + QByteArray("X") + QByteArray(63, '\0')));
        QVERIFY(!setProp(16, QByteArray(64, '\0')));
        QVERIFY(!setProp(16, QByteArray("\xff\xfe") + QByteArray(62, '\0')));
        QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));
        QCOMPARE(daemon(profiles().value(0), "Profile", "Name").toString(),
                 QStringLiteral("B\u00fcro"));
    }

    // Another program (ratbagctl) makes a stage of an onboard profile that is not active the
    // active one of that profile: the mouse's own active stage did not change, so nothing
    // reports one; a stage of the active profile is reported.
    void onlyAStageOfTheActiveProfileIsReported()
    {
        QSignalSpy data(m_devices.get(), &devices_handler::deviceData);
        QVERIFY(m_daemon->call(resolutions(1).value(2), "Resolution", "SetActive"));
        QVERIFY(m_daemon->call(resolutions(0).value(3), "Resolution", "SetActive"));
        QTRY_VERIFY(!data.isEmpty());
        QCOMPARE(data.takeFirst().at(0).toString().left(4), QStringLiteral("0103"));
    }

    void theMinimalMouseOffersOnlyWhatItHas()
    {
        QVERIFY(load(kMinimal));
        const QJsonObject d = description();
        QCOMPARE(d.value("properties").toArray(),
                 QJsonArray({1, 2, 3, 5, 7, 12, 13, 14, 15, 64, 65, 66}));
        QCOMPARE(d.value("buttons").toObject().value("count").toInt(), 3);
        QCOMPARE(d.value("stages").toObject().value("dpi").toArray(),
                 QJsonArray({QJsonArray{800, 800, 1}}));
        QCOMPARE(d.value("lighting").toObject().value("leds").toArray(), QJsonArray());
        QCOMPARE(d.value("profiles").toObject().value("count").toInt(), 1);
        QCOMPARE(prop(1, 1).toHex(), QByteArray("01"));
        QCOMPARE(prop(7, 16).toHex(), QByteArray("01010000010200000103000000000000"));
        QVERIFY(!setProp(8, QByteArray::fromHex("010000003205")));
        QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));
        QVERIFY(!setProp(7, QByteArray::fromHex("01010000010200000103000001040000"))); // 4 buttons
        QVERIFY(setProp(7, QByteArray::fromHex("01030000")));
        QCOMPARE(mapping(0), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 3}}}));
        QVERIFY(!setProp(14, QByteArray(1, 1)));
        QVERIFY(!setProp(3, le16(900)));
        QCOMPARE(lastResult(), int(DC_REFUSED));
        QCOMPARE(daemonDpi(0), 800);
    }

    void macrosFromTheSlotsBecomeTheDaemonsEvents()
    {
        QVERIFY(load(kMacroButton));
        // The daemon's own macro (A with a wait) is neither a slot nor a key: kept as it is.
        QCOMPARE(prop(7, 16).mid(12, 4).toHex(), QByteArray("ff000000"));
        QVERIFY(setProp(7, QByteArray::fromHex("ff000000ff000000ff000000ff00000001040000")));
        QCOMPARE(mapping(3).at(1).toObject().value("data").toArray(),
                 QJsonArray({QJsonArray{1, 30}, QJsonArray{3, 100}, QJsonArray{2, 30}}));

        // A recorded macro in slot 2: Ctrl down, 30 ms, B down, B up, Ctrl up.
        const quint32 slot2 = 0x1000 + 2 * 0x800;
        const QByteArray record = QByteArray::fromHex("4d0500") + QByteArray("copy", 4) +
                                  QByteArray(25, '\0') +
                                  QByteArray::fromHex("011d00"
                                                      "031e00"
                                                      "013000"
                                                      "023000"
                                                      "021d00");
        QVERIFY(m_devices->write(mouseId(), record, int(record.size()), slot2));
        QCOMPARE(m_devices->read(mouseId(), int(record.size()), slot2).left(int(record.size())),
                 record);
        QVERIFY(setProp(7, QByteArray::fromHex("ff000000ff000000ff00000005020000")));
        QCOMPARE(mapping(3).at(0).toInt(), 4);
        QCOMPARE(mapping(3).at(1).toObject().value("data").toArray(),
                 QJsonArray({QJsonArray{1, 29}, QJsonArray{3, 30}, QJsonArray{1, 48},
                             QJsonArray{2, 48}, QJsonArray{2, 29}}));
        QCOMPARE(prop(7, 16).mid(12, 4).toHex(), QByteArray("05020000"));

        // Storing the slot again (the page's way: clean, then write where it is empty) sends the
        // new events to the button that runs it.
        const QByteArray edited = QByteArray::fromHex("4d0200") + QByteArray(29, '\0') +
                                  QByteArray::fromHex("012c00"
                                                      "022c00");
        QVERIFY(m_devices->write(mouseId(), QByteArray(0x800, '\0'), 0x800, slot2));
        QCOMPARE(mapping(3).at(1).toObject().value("data").toArray(), QJsonArray());
        QVERIFY(m_devices->write(mouseId(), edited, int(edited.size()), slot2));
        QCOMPARE(mapping(3).at(1).toObject().value("data").toArray(),
                 QJsonArray({QJsonArray{1, 44}, QJsonArray{2, 44}}));
        // Z pressed and released is also a key: the slot the button was given still names it.
        QCOMPARE(prop(7, 16).mid(12, 4).toHex(), QByteArray("05020000"));

        // A slot whose scan code has no Linux key cannot reach the daemon: nothing changes.
        const QByteArray bad =
            QByteArray::fromHex("4d0100") + QByteArray(29, '\0') + QByteArray::fromHex("015500");
        QVERIFY(!m_devices->write(mouseId(), bad, int(bad.size()), slot2));
        QCOMPARE(lastResult(), int(DC_BAD_ARGUMENT));
        QCOMPARE(m_devices->read(mouseId(), int(edited.size()), slot2).left(int(edited.size())),
                 edited);
        QCOMPARE(mapping(3).at(1).toObject().value("data").toArray(),
                 QJsonArray({QJsonArray{1, 44}, QJsonArray{2, 44}}));

        // The slots are kept for the mouse in the user's data folder, where another manager (a
        // restarted kelv, a reinstalled one) reads them; nothing beside the library.
        QCOMPARE(QDir(m_data->ratbagFolder()).entryList({"*.mem"}).size(), 1);
        QVERIFY(!QFileInfo::exists(m_sim->path() + "/ratbag"));
    }

    // How fast: bench_ratbagd prints the figure.
    void plugEventsReachTheManager()
    {
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        const QString before = listedMouse().SN;
        m_device = m_daemon->load(kMinimal);
        QVERIFY(!m_device.isEmpty());
        QVERIFY(changed.wait());
        QTRY_COMPARE(listedMouse().SN, m_device.mid(m_device.lastIndexOf('/') + 1));
        QVERIFY(listedMouse().SN != before);
        // The same model plugged in again: the same hardware ID, a new SN.
        QVERIFY(listedMouse().HardwareID.startsWith(QLatin1String("RATBAG\\unknown&Name_")));
        QCOMPARE(description().value("buttons").toObject().value("count").toInt(), 3);
    }

    void theDaemonKilledAndStartedAgain()
    {
        QSignalSpy changed(m_devices.get(), &devices_handler::devicesChanged);
        const QString id = mouseId();
        // Killed in the middle of a write: the write fails, nothing is reported as done.
        m_daemon->pause();
        const pid_t pid = pid_t(m_daemon->pid());
        std::thread killer([pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(pid, SIGKILL);
        });
        const bool written = m_devices->writeProp(id, QByteArray::fromHex("01030000"), 4, 7);
        killer.join();
        m_daemon->kill(); // collects it
        QVERIFY(!written);
        QTRY_VERIFY(listedMouse().HardwareID.isEmpty());
        QTRY_VERIFY(!changed.isEmpty());
        // It ran and went away: it has stopped (not "absent", as if never installed).
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("stopped"));
        // Requests for the gone mouse fail.
        QVERIFY(!m_devices->writeProp(id, QByteArray(1, 0), 1, 2));
        QCOMPARE(m_devices->readProp(id, 1, DC_PROP_LAST_RESULT).at(0), '\0');

        QVERIFY(m_daemon->start());
        QTRY_VERIFY(!listedMouse().HardwareID.isEmpty());
        QCOMPARE(serviceState().value("state").toString(), QStringLiteral("running"));
        QVERIFY(load(kMinimal));
        QVERIFY(setProp(7, QByteArray::fromHex("01020000")));
        QCOMPARE(mapping(0), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 2}}}));
    }

    // A daemon that stops answering (SIGSTOP): each request gives up with result 4, the list
    // and the service state are still answered; bench_ratbagd prints how long each took.
    void aStoppedDaemonFailsEachRequest()
    {
        QVERIFY(load(kMinimal));
        const QString id = mouseId();
        m_daemon->pause();
        QVERIFY(!m_devices->writeProp(id, QByteArray::fromHex("01020000"), 4, 7));
        QCOMPARE(m_devices->readProp(id, 1, 1).at(0), '\0');
        QVERIFY(!listedMouse().HardwareID.isEmpty());
        QCOMPARE(serviceState().value("state").toString(), QStringLiteral("running"));
        QCOMPARE(lastResult(), int(DC_DEVICE_FAULT));
        // While a request waits for it, one for a hardware ID that is not listed (a mouse that
        // went away, the service itself) is answered at once, not after it.
        auto waiting = std::async(std::launch::async, [&] {
            return m_devices->writeProp(id, QByteArray::fromHex("01020000"), 4, 7);
        });
        QTest::qWait(200);
        QVERIFY(!m_devices->writeProp(QStringLiteral("RATBAG\\usb&Vid_dead&Pid_beef&Rev_0"),
                                      QByteArray(1, '\0'), 1, 2));
        QVERIFY(!m_devices->writeProp(QStringLiteral("RATBAG\\"), QByteArray(1, '\0'), 1, 2));
        QCOMPARE(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        QVERIFY(!waiting.get());
        m_daemon->resume();
        // Once it answers again, so does the mouse, and nothing of the failed write stuck.
        QCOMPARE(mapping(0), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 1}}}));
        QVERIFY(setProp(7, QByteArray::fromHex("01020000")));
        QCOMPARE(mapping(0), QJsonArray({1, QJsonObject{{"type", "u"}, {"data", 2}}}));
    }

    // A daemon that stops answering in the middle of a reader's round and answers again before
    // its end: the stage count, which the page reads last, fails once (reads 0), so the zeros
    // read in between are not taken for the mouse's settings.
    void aReadTheDaemonMissedFailsTheNextStageCount()
    {
        QVERIFY(load(kMinimal));
        QCOMPARE(prop(1, 1).toHex(), QByteArray("01"));
        m_daemon->pause();
        QCOMPARE(prop(3, 2), QByteArray(2, '\0'));
        m_daemon->resume();
        QCOMPARE(prop(3, 2), le16(800));
        QCOMPARE(prop(1, 1).toHex(), QByteArray("00"));
        // Told once; a count that itself got no answer leaves the next one as it is.
        QCOMPARE(prop(1, 1).toHex(), QByteArray("01"));
        m_daemon->pause();
        QCOMPARE(prop(1, 1).toHex(), QByteArray("00"));
        m_daemon->resume();
        QCOMPARE(prop(1, 1).toHex(), QByteArray("01"));
    }

    // The bus goes away: no mice. On a new bus ratbagd is installed while kelv runs: kelv
    // finds it and asks the bus to start it.
    void ratbagdInstalledLaterIsStartedWhenKelvAsks()
    {
        m_daemon.reset();
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("nobus"));
        QVERIFY(listedMouse().HardwareID.isEmpty());
        m_daemon = std::make_unique<RatbagDaemon>(RatbagDaemon::Bus::Installable);
        QVERIFY(m_daemon->busRunning());
        QTRY_COMPARE_WITH_TIMEOUT(serviceState().value("state").toString(),
                                  QStringLiteral("absent"), 10000);
        QVERIFY(m_daemon->install());
        QTRY_VERIFY_WITH_TIMEOUT(!listedMouse().HardwareID.isEmpty(), 15000);
        QCOMPARE(serviceState().value("state").toString(), QStringLiteral("running"));
    }

    void aBusThatRefusesKelvAccess()
    {
        m_daemon.reset();
        QTRY_COMPARE(serviceState().value("state").toString(), QStringLiteral("nobus"));
        m_daemon = std::make_unique<RatbagDaemon>(RatbagDaemon::Bus::Refusing);
        QVERIFY(m_daemon->start());
        QTRY_COMPARE_WITH_TIMEOUT(serviceState().value("state").toString(),
                                  QStringLiteral("denied"), 10000);
        QVERIFY(listedMouse().HardwareID.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRatbagd)
#include "tst_ratbagd.moc"
