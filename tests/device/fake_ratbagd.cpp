// A stand-in for ratbagd, for what the real daemon cannot be made to do: answer with the
// wrong types, send nonsense (too many objects, bad paths, huge lists, control characters),
// fail its commits, take seconds to write a mouse (as through a wireless receiver), serve
// devices that are no mice and two mice of one model at once. It owns the daemon's name on
// the bus of DBUS_SYSTEM_BUS_ADDRESS and serves one of these modes:
//
//   fake_ratbagd malformed   APIVersion is a string, Devices a string list
//   fake_ratbagd nonsense    valid types, content far past every bound
//   fake_ratbagd newer       API 2 as libratbag 0.18 has it: a mouse (firmware version, angle
//                            snapping, debounce, Disabled profiles, resolutions that can be
//                            disabled, IsDirty), a keyboard and a headset (DeviceType), and
//                            a device without resolutions (LED only), which kelv cannot read
//   fake_ratbagd older       API 1 as libratbag 0.17 has it: a mouse and a G915 keyboard
//                            (no DeviceType: its model says it)
//   fake_ratbagd twins       API 2: two mice of one model (hidraw5, hidraw6)
//
// Like ratbagd, Commit is answered at once and the mouse written afterwards, on the one
// thread: nothing else is answered until that write ends (a Ping waits for it), and API 2
// then signals IsDirty of the device's profiles. The Manager's methods: FailCommits(b) makes
// every commit's write fail (Resync first); SetWriteTime(u) makes each write take u ms.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QMap>
#include <QTimer>

namespace {

const QString kName = QStringLiteral("org.freedesktop.ratbag_devel1");
const QString kRoot = QStringLiteral("/org/freedesktop/ratbag_devel1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QString iface(const char *suffix)
{
    return kName + QLatin1Char('.') + QLatin1String(suffix);
}

QVariant paths(const QStringList &list)
{
    QList<QDBusObjectPath> out;
    for (const QString &p : list)
        out << QDBusObjectPath(p);
    return QVariant::fromValue(out);
}

QVariant uints(const QList<uint> &list)
{
    return QVariant::fromValue(list);
}

QVariant structure(const QList<uint> &members)
{
    QDBusArgument arg;
    arg.beginStructure();
    for (uint m : members)
        arg << m;
    arg.endStructure();
    return QVariant::fromValue(arg);
}

QVariant mapping(uint type, uint value)
{
    QDBusArgument arg;
    arg.beginStructure();
    arg << type << QDBusVariant(QVariant::fromValue(value));
    arg.endStructure();
    return QVariant::fromValue(arg);
}

QVariant dpi(uint value)
{
    return QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)));
}

class Fake final : public QDBusVirtualObject
{
public:
    explicit Fake(const QString &mode) : m_mode(mode)
    {
        if (mode == QLatin1String("malformed"))
            buildMalformed();
        else if (mode == QLatin1String("nonsense"))
            buildNonsense();
        else if (mode == QLatin1String("older"))
            buildOlder();
        else if (mode == QLatin1String("twins"))
            buildTwins();
        else
            buildNewer();
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString path = message.path();
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        QDBusMessage reply;
        if (message.interface() == kProperties && member == QLatin1String("GetAll")) {
            QVariantMap all = m_objects.value(path).value(args.value(0).toString());
            reply = message.createReply(QVariant::fromValue(all));
        } else if (message.interface() == kProperties && member == QLatin1String("Get")) {
            const QVariant value = m_objects.value(path)
                                       .value(args.value(0).toString())
                                       .value(args.value(1).toString());
            reply = value.isValid()
                        ? message.createReply(QVariant::fromValue(QDBusVariant(value)))
                        : message.createErrorReply(
                              QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                              QStringLiteral("no such property"));
        } else if (message.interface() == kProperties && member == QLatin1String("Set")) {
            const QString on = args.value(0).toString();
            const QVariant value = qvariant_cast<QDBusVariant>(args.value(2)).variant();
            // Plain values are kept as they came; structures keep their first form.
            if (value.userType() != qMetaTypeId<QDBusArgument>())
                m_objects[path][on][args.value(1).toString()] = value;
            reply = message.createReply();
        } else if (member == QLatin1String("Commit")) {
            // Answered at once; the write follows, and holds back every later answer.
            connection.send(message.createReply(QVariant::fromValue(uint(0))));
            m_writingUntil = QDateTime::currentMSecsSinceEpoch() + m_writeMs;
            QTimer::singleShot(int(m_writeMs),
                               [this, path, connection] { writeEnded(path, connection); });
            return true;
        } else if (member == QLatin1String("FailCommits")) {
            m_failCommits = args.value(0).toBool();
            reply = message.createReply();
        } else if (member == QLatin1String("SetWriteTime")) {
            m_writeMs = args.value(0).toUInt();
            reply = message.createReply();
        } else if (member == QLatin1String("Ping")) {
            reply = message.createReply();
        } else {
            reply = message.createReply(QVariant::fromValue(uint(0))); // SetActive and the like
        }
        // While the mouse is written, the answer waits (the daemon has one thread).
        const qint64 wait = m_writingUntil - QDateTime::currentMSecsSinceEpoch();
        if (wait > 0) {
            message.setDelayedReply(true);
            QTimer::singleShot(int(wait), [reply, connection] { connection.send(reply); });
        } else {
            connection.send(reply);
        }
        return true;
    }

private:
    void writeEnded(const QString &device, const QDBusConnection &connection)
    {
        QDBusConnection bus = connection;
        if (m_failCommits)
            bus.send(QDBusMessage::createSignal(device, iface("Device"), QStringLiteral("Resync")));
        if (m_api < 2)
            return;
        const QVariant profiles = m_objects.value(device).value(iface("Device")).value("Profiles");
        for (const QDBusObjectPath &p : qvariant_cast<QList<QDBusObjectPath>>(profiles)) {
            QDBusMessage changed = QDBusMessage::createSignal(p.path(), kProperties,
                                                              QStringLiteral("PropertiesChanged"));
            changed << iface("Profile") << QVariantMap{{"IsDirty", !m_failCommits ? false : true}}
                    << QStringList();
            bus.send(changed);
        }
    }

    // A mouse of API 2 (api 1: the properties of libratbag 0.17) at /device/<name>.
    void addMouse(const QString &name, const QString &model, int api)
    {
        const QString device = kRoot + "/device/" + name;
        const QString profile = kRoot + "/profile/" + name + "/p0";
        const QString resolution = kRoot + "/resolution/" + name + "/p0/r0";
        const QString second = kRoot + "/resolution/" + name + "/p0/r1";
        const QString button = kRoot + "/button/" + name + "/p0/b0";
        m_devices << device;
        m_objects[device][iface("Device")] = {{"Model", model},
                                              {"Name", QStringLiteral("Newer mouse")},
                                              {"Profiles", paths({profile})}};
        QVariantMap p = {{"Resolutions", paths({resolution, second})},
                         {"Buttons", paths({button})},
                         {"Leds", paths({})},
                         {"ReportRates", uints({500, 1000, 2000})},
                         {"ReportRate", uint(1000)},
                         {"Capabilities", uints({})},
                         {"Name", QStringLiteral("Onboard 1")},
                         {"IsActive", true}};
        if (api >= 2) {
            m_objects[device][iface("Device")]["FirmwareVersion"] = QStringLiteral("1.2.3");
            m_objects[device][iface("Device")]["DeviceType"] = uint(2);
            p.insert({{"Disabled", false},
                      {"IsDirty", false},
                      {"AngleSnapping", 0},
                      {"Debounce", 4},
                      {"Debounces", uints({2, 4, 8})}});
        } else {
            p.insert("Enabled", true);
        }
        m_objects[profile][iface("Profile")] = p;
        for (const QString &r : {resolution, second}) {
            QVariantMap res = {{"Resolution", dpi(r == resolution ? 800 : 1600)},
                               {"Resolutions", uints({400, 800, 1200, 1600})},
                               {"IsActive", r == resolution},
                               {"IsDefault", r == resolution}};
            if (api >= 2)
                res.insert({{"IsDisabled", false}, {"Capabilities", uints({1, 2})}});
            m_objects[r][iface("Resolution")] = res;
        }
        m_objects[button][iface("Button")] = {{"ActionTypes", uints({1, 2, 4})},
                                              {"Mapping", mapping(1, 1)}};
    }

    // A device that is no mouse: only its own properties (kelv reads no further).
    void addOther(const QString &name, const QString &title, const QString &model, int type)
    {
        const QString device = kRoot + "/device/" + name;
        m_devices << device;
        m_objects[device][iface("Device")] = {
            {"Model", model},
            {"Name", title},
            {"Profiles", paths({kRoot + "/profile/" + name + "/p0"})}};
        if (type >= 0)
            m_objects[device][iface("Device")]["DeviceType"] = uint(type);
    }

    void publishDevices()
    {
        m_objects[kRoot][iface("Manager")] = {{"APIVersion", m_api}, {"Devices", paths(m_devices)}};
    }

    void buildOlder()
    {
        m_api = 1;
        addMouse(QStringLiteral("hidraw3"), QStringLiteral("usb:046d:c539:0"), 1);
        addOther(QStringLiteral("hidraw4"), QStringLiteral("Logitech G915"),
                 QStringLiteral("usb:046d:c33e:0"), -1);
        publishDevices();
    }

    void buildTwins()
    {
        addMouse(QStringLiteral("hidraw5"), QStringLiteral("usb:1038:1824:0"), 2);
        addMouse(QStringLiteral("hidraw6"), QStringLiteral("usb:1038:1824:0"), 2);
        publishDevices();
    }

    void buildMalformed()
    {
        m_objects[kRoot][iface("Manager")] = {{"APIVersion", QStringLiteral("1")},
                                              {"Devices", QStringList{kRoot + "/device/a"}}};
    }

    void buildNewer()
    {
        addMouse(QStringLiteral("hidraw7"), QStringLiteral("usb:1038:1824:0"), 2);
        addOther(QStringLiteral("hidraw8"), QStringLiteral("Logitech G513"),
                 QStringLiteral("usb:046d:c33c:0"), 3);
        addOther(QStringLiteral("hidraw9"), QStringLiteral("Logitech G935"),
                 QStringLiteral("usb:046d:0a87:0"), 1);
        // A mouse kelv cannot read: a profile without resolutions (an LED-only device).
        addOther(QStringLiteral("hidraw99"), QStringLiteral("LED device"),
                 QStringLiteral("usb:046d:c332:0"), 2);
        m_objects[kRoot + "/profile/hidraw99/p0"][iface("Profile")] = {{"Resolutions", paths({})},
                                                                       {"Buttons", paths({})},
                                                                       {"Leds", paths({})},
                                                                       {"IsActive", true},
                                                                       {"Disabled", false}};
        publishDevices();
    }

    void buildNonsense()
    {
        QStringList devices;
        for (int i = 0; i < 10; ++i)
            devices << QStringLiteral("/elsewhere/device/%1").arg(i); // outside the daemon's root
        devices << kRoot + "/device/" + QString(300, QLatin1Char('x'));
        QString name = QStringLiteral("Mouse\u0001\u0007\u00e9");
        name += QString(400, QChar(0x4e2d)); // three bytes each in UTF-8
        for (int d = 0; d < 30; ++d) {
            const QString device = kRoot + QStringLiteral("/device/n%1").arg(d);
            const QString at = QStringLiteral("/n%1/p0").arg(d);
            devices << device;
            QStringList resolutions, buttons, leds;
            for (int i = 0; i < 40; ++i)
                resolutions << kRoot + "/resolution" + at + QStringLiteral("/r%1").arg(i);
            for (int i = 0; i < 50; ++i)
                buttons << kRoot + "/button" + at + QStringLiteral("/b%1").arg(i);
            for (int i = 0; i < 12; ++i)
                leds << kRoot + "/led" + at + QStringLiteral("/l%1").arg(i);
            const QString profile = kRoot + "/profile" + at;
            m_objects[device][iface("Device")] = {
                {"Model", QStringLiteral("usb:046d:c539:0")},
                {"Name", name},
                {"Profiles", paths({profile, QStringLiteral("/not/ours")})}};
            QList<uint> rates;
            for (uint r = 0; r < 100; ++r)
                rates << r * 997;
            m_objects[profile][iface("Profile")] = {{"Resolutions", paths(resolutions)},
                                                    {"Buttons", paths(buttons)},
                                                    {"Leds", paths(leds)},
                                                    {"ReportRates", uints(rates)},
                                                    {"ReportRate", uint(4294967295u)},
                                                    {"Capabilities", uints({102, 7, 0})},
                                                    {"IsActive", true},
                                                    {"Enabled", true}};
            QList<uint> dpis;
            for (uint v = 0; v < 5000; ++v)
                dpis << v * 13;
            for (const QString &r : resolutions)
                m_objects[r][iface("Resolution")] = {{"Resolution", dpi(4000000000u)},
                                                     {"Resolutions", uints(dpis)},
                                                     {"IsActive", r == resolutions.first()},
                                                     {"IsDefault", true}};
            for (const QString &b : buttons)
                m_objects[b][iface("Button")] = {{"ActionTypes", uints({1, 2, 4, 77, 1000})},
                                                 {"Mapping", mapping(77, 5)}};
            for (const QString &l : leds)
                m_objects[l][iface("Led")] = {{"Modes", uints({0, 1, 2, 3, 9})},
                                              {"ColorDepth", uint(7)},
                                              {"Mode", uint(9)},
                                              {"Color", structure({70000, 2, 3})},
                                              {"EffectDuration", uint(99999)},
                                              {"Brightness", uint(9999)}};
        }
        m_objects[kRoot][iface("Manager")] = {{"APIVersion", 1}, {"Devices", paths(devices)}};
    }

    QString m_mode;
    int m_api = 2;
    QStringList m_devices;
    bool m_failCommits = false;
    uint m_writeMs = 0;
    qint64 m_writingUntil = 0;
    QMap<QString, QMap<QString, QVariantMap>> m_objects;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = app.arguments().value(1);
    QDBusConnection bus = QDBusConnection::connectToBus(
        qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("fake"));
    Fake fake(mode);
    if (!bus.registerVirtualObject(QStringLiteral("/"), &fake, QDBusConnection::SubPath) ||
        !bus.registerService(kName))
        return 1;
    return app.exec();
}
