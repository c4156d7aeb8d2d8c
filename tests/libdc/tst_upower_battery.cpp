// The battery of a daemon's mouse that reports none itself, from UPower: Debian's
// python3-dbusmock with its upower template on a private system bus, a sysfs tree of the
// test's own, and the library with a stand-in backend listing a mouse by its hidraw node
// (as ratbagd's object paths do). The mouse and UPower's device are matched through the HID
// device in sysfs, never by name; changes reach the event callback as event 4.

#include "libdc/battery/upower_linux.h"
#include "libdc/library.h"
#include "tests/testsupport/dbus_mock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <mutex>

using namespace kelv;
using namespace kelv::test;

namespace {

std::mutex g_mutex;
std::vector<uint32_t> g_events;

bool DC_CALL onEvent(uint32_t event)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(event);
    return true;
}

int eventsOf(uint32_t kind)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(std::count(g_events.begin(), g_events.end(), kind));
}

// A daemon's mouse: listed with its hidraw node as the last element of its path, and no
// battery of its own (property 67 refused with DC_BAD_ARGUMENT).
class DaemonMouse final : public dc::Backend
{
public:
    std::string hidraw = "hidraw3";
    void begin(const std::string &) override {}
    bool owns(const char16_t *id) const override { return dc::idKey(id) == "mouse\\one"; }
    int32_t list(const uint32_t *, std::vector<dc::Record> *out) override
    {
        dc::Record r;
        r.hardwareId = "MOUSE\\one";
        r.devicePath = "/org/freedesktop/ratbag1/device/" + hidraw;
        out->push_back(r);
        return DC_OK;
    }
    int32_t exists(const char16_t *) override { return DC_OK; }
    int32_t ask(const char16_t *, uint32_t, uint32_t, char *, uint32_t) override { return 2; }
    int32_t notify(const char16_t *, uint32_t, uint16_t, uint8_t *) override { return 2; }
    int32_t read(const char16_t *, uint32_t, uint8_t *, uint32_t, uint32_t) override { return 2; }
    int32_t write(const char16_t *, uint32_t, const uint8_t *, uint32_t, uint32_t) override
    {
        return 2;
    }
    int32_t readProp(const char16_t *, uint32_t code, uint8_t *, uint32_t, uint32_t) override
    {
        return code == DC_PRODUCT_CODE ? DC_BAD_ARGUMENT : DC_WRONG_PRODUCT;
    }
    int32_t writeProp(const char16_t *, uint32_t, const uint8_t *, uint32_t, uint32_t) override
    {
        return 2;
    }
    int32_t scriptOut(const char16_t *, uint32_t, char *, uint32_t) override { return 2; }
};

const char16_t kMouse[] = u"MOUSE\\one";
const char kHid[] = "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.2/0003:046D:C52B.0003/"
                    "0003:046D:4082.000C";

} // namespace

class TestUPowerBattery : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_sysfs;
    std::unique_ptr<DBusMock> m_bus;
    DaemonMouse *m_mouse = nullptr;
    std::unique_ptr<dc::Library> m_library;

    QByteArray battery(int32_t *result = nullptr)
    {
        uint8_t buf[2] = {};
        const int32_t r = m_library->readProp(kMouse, DC_PRODUCT_CODE, buf, 2, 67);
        if (result)
            *result = r;
        return r == DC_OK ? QByteArray(reinterpret_cast<const char *>(buf), 2) : QByteArray();
    }
    bool upower(const QStringList &args)
    {
        bool ok = false;
        m_bus->busctl(
            QStringList{"call", "org.freedesktop.UPower", "/org/freedesktop/UPower"} + args, &ok);
        return ok;
    }
    bool setDevice(const QString &path, const QStringList &props)
    {
        bool ok = false;
        m_bus->busctl(QStringList{"call", "org.freedesktop.UPower", "/org/freedesktop/UPower",
                                  "org.freedesktop.DBus.Mock", "SetDeviceProperties", "oa{sv}",
                                  path, QString::number(props.size() / 3)} +
                          props,
                      &ok);
        return ok;
    }
    // A device of UPower's: a battery made a mouse (Type 5) at nativePath.
    QString addMouse(const QString &name, const QString &nativePath, double percent)
    {
        if (!upower({"org.freedesktop.DBus.Mock", "AddDischargingBattery", "ssdx", name, "Mouse",
                     QString::number(percent), "0"}))
            return QString();
        const QString path = QStringLiteral("/org/freedesktop/UPower/devices/") + name;
        bool ok = false;
        m_bus->busctl({"call", "org.freedesktop.UPower", path, "org.freedesktop.DBus.Mock",
                       "AddProperty", "ssv", "org.freedesktop.UPower.Device", "NativePath", "s",
                       nativePath},
                      &ok);
        return ok && setDevice(path, {"Type", "u", "5"}) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        if (const QString why = DBusMock::unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        // The tree: hidraw3 belongs to the HID device of a mouse behind a receiver, whose power
        // supply is hidpp_battery_0; hidraw4 to another device.
        QDir root(m_sysfs.path());
        root.mkpath(QLatin1String(kHid) + "/power_supply/hidpp_battery_0");
        root.mkpath(QStringLiteral("devices/other/0003:1234:5678.0001"));
        root.mkpath(QStringLiteral("class/hidraw/hidraw3"));
        root.mkpath(QStringLiteral("class/hidraw/hidraw4"));
        QFile::link(QStringLiteral("../../../") + kHid,
                    root.filePath("class/hidraw/hidraw3/device"));
        QFile::link(QStringLiteral("../../../devices/other/0003:1234:5678.0001"),
                    root.filePath("class/hidraw/hidraw4/device"));
        qputenv("KELV_SYSFS_ROOT", m_sysfs.path().toUtf8());
        m_bus = std::make_unique<DBusMock>(DBusMock::Kind::System);
        QVERIFY(m_bus->running());
        QVERIFY(m_bus->startTemplate("upower", "org.freedesktop.UPower"));
        m_library = std::make_unique<dc::Library>(
            std::vector<dc::BackendFactory>{[this](dc::Outbox &) {
                auto mouse = std::make_unique<DaemonMouse>();
                m_mouse = mouse.get();
                return mouse;
            }},
            [this] { return m_sysfs.path().toStdString(); },
            [](dc::Outbox &outbox) { return std::make_unique<dc::UPowerBatteries>(outbox); });
        const DcEventCallback callback = &onEvent;
        m_library->onDeviceEvent(&callback);
    }

    void cleanupTestCase()
    {
        m_library.reset();
        m_bus.reset();
        qunsetenv("KELV_SYSFS_ROOT");
    }

    // UPower's states and levels as property 67.
    void stateMapping()
    {
        uint8_t out[2];
        const auto map = [&](uint32_t state, double percent) {
            dc::UPowerBatteries::toProperty(state, percent, out);
            return QByteArray(reinterpret_cast<const char *>(out), 2);
        };
        QCOMPARE(map(2, 42.4), QByteArray("\x2a\x01", 2)); // discharging
        QCOMPARE(map(1, 80), QByteArray("\x50\x02", 2));   // charging
        QCOMPARE(map(5, 80), QByteArray("\x50\x02", 2));   // pending charge
        QCOMPARE(map(4, 100), QByteArray("\x64\x03", 2));  // full
        QCOMPARE(map(0, 0), QByteArray("\xff\x00", 2));    // nothing known
        QCOMPARE(map(2, 0), QByteArray("\xff\x00", 2));    // 0 % discharging: asleep, not empty
        QCOMPARE(map(1, 0), QByteArray("\x00\x02", 2));    // 0 % and charging: empty indeed
        QCOMPARE(map(2, 150), QByteArray("\xff\x00", 2));
    }

    // Matched through the HID device: a basename below its power_supply folder, or an absolute
    // sysfs path below it; a device of another type, or of another HID device, is not the mouse's.
    void matchedThroughTheHidDevice()
    {
        int32_t r = DC_OK;
        QVERIFY(battery(&r).isEmpty());
        QCOMPARE(r, int32_t(DC_BAD_ARGUMENT));
        // Another HID device's battery, with the mouse's very name.
        const QString other = addMouse(
            "mouse_other",
            m_sysfs.filePath("devices/other/0003:1234:5678.0001/power_supply/hidpp_battery_0"), 90);
        QVERIFY(!other.isEmpty());
        // A mouse battery of the same kind of name whose supply hangs on no HID device here.
        QVERIFY(!addMouse("mouse_a_elsewhere", "hidpp_battery_7", 33).isEmpty());
        // A battery of another type at the mouse's path.
        QVERIFY(upower({"org.freedesktop.DBus.Mock", "AddDischargingBattery", "ssdx", "laptop",
                        "Laptop", "70", "0"}));
        bool ok = false;
        m_bus->busctl({"call", "org.freedesktop.UPower", "/org/freedesktop/UPower/devices/laptop",
                       "org.freedesktop.DBus.Mock", "AddProperty", "ssv",
                       "org.freedesktop.UPower.Device", "NativePath", "s", "hidpp_battery_0"},
                      &ok);
        QVERIFY(ok);
        QTest::qWait(300);
        QVERIFY(battery(&r).isEmpty());

        const QString mouse = addMouse("mouse_hidpp_battery_0", "hidpp_battery_0", 42);
        QVERIFY(!mouse.isEmpty());
        QTRY_COMPARE(battery(), QByteArray("\x2a\x01", 2));
        QTRY_VERIFY(eventsOf(4) >= 5);
        // The same device named by its absolute path.
        QVERIFY(setDevice(
            mouse, {"NativePath", "s",
                    m_sysfs.filePath(QLatin1String(kHid) + "/power_supply/hidpp_battery_0")}));
        QTest::qWait(300);
        QCOMPARE(battery(), QByteArray("\x2a\x01", 2));
        // The other hidraw node is the other device's.
        m_mouse->hidraw = "hidraw4";
        QCOMPARE(battery(), QByteArray("\x5a\x01", 2));
        m_mouse->hidraw = "hidraw9"; // not in sysfs
        QVERIFY(battery().isEmpty());
        m_mouse->hidraw = "hidraw3";
    }

    // Changes come with UPower's signals, each as one burst of event 4; a removed device and
    // UPower going away take the battery with them.
    void followsUPowersSignals()
    {
        const QString mouse =
            QStringLiteral("/org/freedesktop/UPower/devices/mouse_hidpp_battery_0");
        const int before = eventsOf(4);
        QVERIFY(setDevice(mouse, {"Percentage", "d", "12", "State", "u", "1"}));
        QTRY_COMPARE(battery(), QByteArray("\x0c\x02", 2));
        QTRY_COMPARE(eventsOf(4), before + 5);
        QVERIFY(upower({"org.freedesktop.DBus.Mock", "RemoveDevice", "o", mouse}));
        QTRY_VERIFY(battery().isEmpty());
        QVERIFY(!addMouse("mouse_hidpp_battery_0", "hidpp_battery_0", 55).isEmpty());
        QTRY_COMPARE(battery(), QByteArray("\x37\x01", 2));
        const int events = eventsOf(4);
        m_bus->stopTemplates();
        QTRY_VERIFY(battery().isEmpty());
        QTRY_VERIFY(eventsOf(4) > events);
    }
};

QTEST_GUILESS_MAIN(TestUPowerBattery)
#include "tst_upower_battery.moc"
