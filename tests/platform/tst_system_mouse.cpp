// The system mouse settings on GNOME, Cinnamon, MATE, KDE Plasma (X11 and
// Wayland) and Xfce, and on a desktop without such settings. Each case runs
// the desktop's own tools against its real store (dconf-service, xfconfd,
// the KDE configuration files) on a private D-Bus session, and checks what the
// store holds afterwards.

#include "platform/system_mouse.h"
#include "tests/testsupport/desktop_session.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <memory>
#include <unistd.h>

using namespace kelv;
using namespace kelv::test;

namespace {

const QString kGnome = QStringLiteral("/org/gnome/desktop/peripherals/mouse/");
const QString kCinnamon = QStringLiteral("/org/cinnamon/desktop/peripherals/mouse/");
const QString kMate = QStringLiteral("/org/mate/desktop/peripherals/mouse/");

// The settings the running desktop lets the program change, as a word list.
QString changeable()
{
    const platform::ChangeableMouseSettings can = platform::changeableMouseSettings();
    QStringList words;
    if (can.pointerSpeed)
        words << QStringLiteral("speed");
    if (can.wheelScrollLines)
        words << QStringLiteral("lines");
    if (can.doubleClickTime)
        words << QStringLiteral("click");
    return words.join(QLatin1Char(' '));
}

// What the running desktop holds now, as kelv reads it back: "speed lines
// click" ("-1": not known, "-2": the desktop's own default).
QString shown()
{
    const platform::MouseSettingValues now = platform::currentMouseSettings();
    return QStringLiteral("%1 %2 %3")
        .arg(now.pointerSpeed)
        .arg(now.wheelScrollLines)
        .arg(now.doubleClickTime);
}

// A value set with the desktop's own tool, as its settings dialog would.
bool tool(const QString &program, const QStringList &arguments)
{
    bool ok = false;
    DesktopSession::run(program, arguments, &ok);
    return ok;
}

bool gsettings(const char *schema, const char *key, const char *value)
{
    return tool(QStringLiteral("gsettings"),
                {QStringLiteral("set"), QString::fromLatin1(schema), QString::fromLatin1(key),
                 QString::fromLatin1(value)});
}

bool kwriteconfig(const QString &file, const QStringList &groups, const QString &key,
                  const QString &value)
{
    QStringList arguments{QStringLiteral("--file"), file};
    for (const QString &group : groups)
        arguments << QStringLiteral("--group") << group;
    arguments << QStringLiteral("--key") << key << QStringLiteral("--") << value;
    return tool(QStringLiteral("kwriteconfig5"), arguments);
}

bool xfconf(const QString &channel, const QString &property, const QString &type,
            const QString &value)
{
    return tool(QStringLiteral("xfconf-query"),
                {QStringLiteral("-c"), channel, QStringLiteral("-p"), property,
                 QStringLiteral("-n"), QStringLiteral("-t"), type, QStringLiteral("-s"), value});
}

double number(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? value : -1000;
}

} // namespace

class TestSystemMouse : public QObject
{
    Q_OBJECT

    std::unique_ptr<DesktopSession> m_session;

private slots:
    void init()
    {
        m_session = std::make_unique<DesktopSession>();
        QVERIFY2(m_session->isRunning(), "dbus-daemon did not start");
    }
    void cleanup() { m_session.reset(); }

    void gnomeKeepsSpeedAndDoubleClickInDconf()
    {
        m_session->setDesktop(QStringLiteral("ubuntu:GNOME"));
        QCOMPARE(changeable(), QStringLiteral("speed click"));
        // Never set: the schema's defaults (libinput's 0 is the middle, 10).
        QCOMPARE(shown(), QStringLiteral("10 -1 400"));
        // Set with GNOME's own tool: shown as GNOME holds it.
        QVERIFY(gsettings("org.gnome.desktop.peripherals.mouse", "double-click", "555"));
        QVERIFY(gsettings("org.gnome.desktop.peripherals.mouse", "speed", "0.3"));
        QCOMPARE(shown(), QStringLiteral("13 -1 555"));
        QVERIFY(platform::setDoubleClickTime(620));
        QCOMPARE(m_session->dconf(kGnome + QStringLiteral("double-click")), QStringLiteral("620"));
        QVERIFY(platform::setPointerSpeed(15));
        QCOMPARE(number(m_session->dconf(kGnome + QStringLiteral("speed"))), 0.5);
        QVERIFY(platform::setPointerSpeed(1));
        QCOMPARE(number(m_session->dconf(kGnome + QStringLiteral("speed"))), -1.0);
        QCOMPARE(shown(), QStringLiteral("1 -1 620"));
        // GNOME has no lines-per-notch setting.
        QVERIFY(!platform::setWheelScrollLines(3));
        // Nothing went to the other desktops' keys.
        QCOMPARE(m_session->dconf(kCinnamon + QStringLiteral("double-click")), QString());
    }

    void cinnamonAndMateUseTheirOwnSchemas()
    {
        m_session->setDesktop(QStringLiteral("X-Cinnamon"));
        QCOMPARE(changeable(), QStringLiteral("speed click"));
        QCOMPARE(shown(), QStringLiteral("10 -1 400"));
        QVERIFY(gsettings("org.cinnamon.desktop.peripherals.mouse", "double-click", "610"));
        QVERIFY(gsettings("org.cinnamon.desktop.peripherals.mouse", "speed", "-1"));
        QCOMPARE(shown(), QStringLiteral("1 -1 610"));
        QVERIFY(platform::setDoubleClickTime(480));
        QVERIFY(platform::setPointerSpeed(20));
        QCOMPARE(m_session->dconf(kCinnamon + QStringLiteral("double-click")),
                 QStringLiteral("480"));
        QCOMPARE(number(m_session->dconf(kCinnamon + QStringLiteral("speed"))), 1.0);
        QVERIFY(!platform::setWheelScrollLines(3));

        m_session->setDesktop(QStringLiteral("MATE"));
        // MATE's -1 is "the system default", no number on the scale.
        QCOMPARE(shown(), QStringLiteral("-2 -1 400"));
        QVERIFY(gsettings("org.mate.peripherals-mouse", "motion-acceleration", "5.5"));
        QVERIFY(gsettings("org.mate.peripherals-mouse", "double-click", "700"));
        QCOMPARE(shown(), QStringLiteral("11 -1 700"));
        QVERIFY(platform::setDoubleClickTime(900));
        QVERIFY(platform::setPointerSpeed(20));
        QCOMPARE(m_session->dconf(kMate + QStringLiteral("double-click")), QStringLiteral("900"));
        QCOMPARE(number(m_session->dconf(kMate + QStringLiteral("motion-acceleration"))), 10.0);
        QVERIFY(platform::setPointerSpeed(1));
        QCOMPARE(number(m_session->dconf(kMate + QStringLiteral("motion-acceleration"))), 1.0);

        QCOMPARE(m_session->dconf(kGnome + QStringLiteral("double-click")), QString());
    }

    void plasmaOnX11WritesItsFilesAndNotifies()
    {
        m_session->setDesktop(QStringLiteral("KDE"), QStringLiteral("x11"));
        QCOMPARE(changeable(), QStringLiteral("speed lines click"));
        // Never set: Plasma's own defaults.
        QCOMPARE(shown(), QStringLiteral("10 3 400"));
        QVERIFY(kwriteconfig(QStringLiteral("kdeglobals"), {QStringLiteral("KDE")},
                             QStringLiteral("DoubleClickInterval"), QStringLiteral("321")));
        QVERIFY(kwriteconfig(QStringLiteral("kdeglobals"), {QStringLiteral("KDE")},
                             QStringLiteral("WheelScrollLines"), QStringLiteral("9")));
        QVERIFY(kwriteconfig(QStringLiteral("kcminputrc"), {QStringLiteral("Mouse")},
                             QStringLiteral("XLbInptPointerAcceleration"), QStringLiteral("-1")));
        QCOMPARE(shown(), QStringLiteral("1 9 321"));
        // What the running Plasma session would hear on its bus.
        QProcess monitor;
        monitor.setProcessChannelMode(QProcess::MergedChannels);
        monitor.start(QStringLiteral("dbus-monitor"),
                      {QStringLiteral("--session"),
                       QStringLiteral("type='signal',interface='org.kde.KGlobalSettings'"),
                       QStringLiteral("type='signal',interface='org.kde.KWin'")});
        QVERIFY(monitor.waitForStarted(5000));
        QByteArray heard;
        // dbus-monitor reports its own connection first.
        QTRY_VERIFY_WITH_TIMEOUT((heard += monitor.readAll()).contains("NameAcquired"), 10000);
        QVERIFY(platform::setDoubleClickTime(550));
        // KGlobalSettings' change notice, category mouse (SettingsChanged = 3,
        // SETTINGS_MOUSE = 0), and KWin's reload.
        QTRY_VERIFY_WITH_TIMEOUT((heard += monitor.readAll()).contains("member=reloadConfig"),
                                 10000);
        QVERIFY2(heard.contains("member=notifyChange"), heard.constData());
        QVERIFY2(heard.contains("int32 3\n   int32 0"), heard.constData());
        monitor.kill();
        monitor.waitForFinished(5000);
        QVERIFY(platform::setWheelScrollLines(7));
        QVERIFY(platform::setPointerSpeed(15));
        const QStringList kde{QStringLiteral("KDE")};
        QCOMPARE(m_session->kdeConfig(QStringLiteral("kdeglobals"), kde,
                                      QStringLiteral("DoubleClickInterval")),
                 QStringLiteral("550"));
        QCOMPARE(m_session->kdeConfig(QStringLiteral("kdeglobals"), kde,
                                      QStringLiteral("WheelScrollLines")),
                 QStringLiteral("7"));
        QCOMPARE(
            number(m_session->kdeConfig(QStringLiteral("kcminputrc"), {QStringLiteral("Mouse")},
                                        QStringLiteral("XLbInptPointerAcceleration"))),
            0.5);
        QVERIFY(QFile::exists(m_session->configFolder() + QStringLiteral("/kdeglobals")));
        QCOMPARE(shown(), QStringLiteral("15 7 550"));
        // Out of range: refused without touching the file.
        QVERIFY(!platform::setWheelScrollLines(0));
        QCOMPARE(m_session->kdeConfig(QStringLiteral("kdeglobals"), kde,
                                      QStringLiteral("WheelScrollLines")),
                 QStringLiteral("7"));
    }

    void plasmaOnWaylandSetsEveryKnownPointer()
    {
        m_session->setDesktop(QStringLiteral("KDE"), QStringLiteral("wayland"));
        // KWin has not configured any device yet: nothing could hold a speed.
        QVERIFY(!platform::setPointerSpeed(12));
        QCOMPARE(shown(), QStringLiteral("-1 3 400"));
        QFile rc(m_session->configFolder() + QStringLiteral("/kcminputrc"));
        QVERIFY(rc.open(QIODevice::WriteOnly));
        rc.write("[Libinput][1133][49271][Logitech USB Optical Mouse]\nNaturalScroll=false\n\n"
                 "[Mouse]\ncursorTheme=breeze_cursors\n");
        rc.close();
        QVERIFY(platform::setPointerSpeed(20));
        QCOMPARE(number(m_session->kdeConfig(QStringLiteral("kcminputrc"),
                                             {QStringLiteral("Libinput"), QStringLiteral("1133"),
                                              QStringLiteral("49271"),
                                              QStringLiteral("Logitech USB Optical Mouse")},
                                             QStringLiteral("PointerAcceleration"))),
                 1.0);
        QVERIFY(platform::setDoubleClickTime(760));
        QCOMPARE(shown(), QStringLiteral("20 3 760"));
        QVERIFY(
            kwriteconfig(QStringLiteral("kcminputrc"),
                         {QStringLiteral("Libinput"), QStringLiteral("1133"),
                          QStringLiteral("49271"), QStringLiteral("Logitech USB Optical Mouse")},
                         QStringLiteral("PointerAcceleration"), QStringLiteral("0.2")));
        QCOMPARE(shown(), QStringLiteral("12 3 760"));
    }

    void xfceKeepsValuesInXfconf()
    {
        m_session->setDesktop(QStringLiteral("XFCE"));
        QCOMPARE(changeable(), QStringLiteral("speed click"));
        // Never set: GTK's double-click time; no pointer device to ask.
        QCOMPARE(shown(), QStringLiteral("-1 -1 400"));
        QVERIFY(xfconf(QStringLiteral("xsettings"), QStringLiteral("/Net/DoubleClickTime"),
                       QStringLiteral("int"), QStringLiteral("250")));
        QCOMPARE(shown(), QStringLiteral("-1 -1 250"));
        QVERIFY(platform::setDoubleClickTime(340));
        QCOMPARE(
            m_session->xfconf(QStringLiteral("xsettings"), QStringLiteral("/Net/DoubleClickTime")),
            QStringLiteral("340"));
        const auto setPointersFlag = [](const QString &property) {
            bool ok = false;
            DesktopSession::run(QStringLiteral("xfconf-query"),
                                {QStringLiteral("-c"), QStringLiteral("pointers"),
                                 QStringLiteral("-p"), property, QStringLiteral("-n"),
                                 QStringLiteral("-t"), QStringLiteral("bool"), QStringLiteral("-s"),
                                 QStringLiteral("true")},
                                &ok);
            return ok;
        };
        // No pointer device configured yet: the speed has nowhere to go. A
        // setting of the channel itself is no device.
        QVERIFY(setPointersFlag(QStringLiteral("/DisableTouchpadDuringTyping")));
        QVERIFY(!platform::setPointerSpeed(10));
        QVERIFY(setPointersFlag(QStringLiteral("/Test_Mouse/RightHanded")));
        // A device Xfce keeps no acceleration for moves at the device's own.
        QCOMPARE(shown(), QStringLiteral("-2 -1 340"));
        QVERIFY(xfconf(QStringLiteral("pointers"), QStringLiteral("/Test_Mouse/Acceleration"),
                       QStringLiteral("double"), QStringLiteral("3.0")));
        QCOMPARE(shown(), QStringLiteral("6 -1 340"));
        QVERIFY(platform::setPointerSpeed(10));
        QCOMPARE(number(m_session->xfconf(QStringLiteral("pointers"),
                                          QStringLiteral("/Test_Mouse/Acceleration"))),
                 5.0);
        QCOMPARE(m_session->xfconf(QStringLiteral("pointers"),
                                   QStringLiteral("/DisableTouchpadDuringTyping/Acceleration")),
                 QString());
        QVERIFY(!platform::setWheelScrollLines(3));
    }

    void desktopWithoutTheSettingFails()
    {
        for (const QString &desktop : {QStringLiteral("LXQt"), QString()}) {
            m_session->setDesktop(desktop);
            QCOMPARE(changeable(), QString());
            QCOMPARE(shown(), QStringLiteral("-1 -1 -1"));
            QVERIFY(!platform::setDoubleClickTime(400));
            QVERIFY(!platform::setPointerSpeed(10));
            QVERIFY(!platform::setWheelScrollLines(3));
        }
        QCOMPARE(m_session->dconf(kGnome + QStringLiteral("double-click")), QString());
    }

    void desktopWithoutItsToolsOffersNothing()
    {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(m_session->runtimeFolder()));
        QStringList offered;
        for (const char *desktop : {"GNOME", "MATE", "KDE", "XFCE"}) {
            m_session->setDesktop(QString::fromLatin1(desktop));
            offered << changeable();
        }
        qputenv("PATH", path);
        QCOMPARE(offered, QStringList(4, QString()));
    }

    void storeThatCannotBeReachedFails()
    {
        // gsettings falls back to keeping the value in memory and exits with 0
        // when there is no session bus; the dconf database never gets it.
        m_session->setDesktop(QStringLiteral("GNOME"));
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS",
                "unix:path=" + QFile::encodeName(m_session->runtimeFolder()) + "/no-bus");
        const bool speed = platform::setPointerSpeed(15);
        const bool click = platform::setDoubleClickTime(700);
        m_session->setDesktop(QStringLiteral("XFCE"));
        const bool xfce = platform::setDoubleClickTime(700);
        // An Xfce store that does not answer shows nothing rather than GTK's
        // default.
        const QString xfceShown = shown();
        m_session->setDesktop(QStringLiteral("KDE"));
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        QVERIFY(!speed);
        QVERIFY(!click);
        QVERIFY(!xfce);
        QCOMPARE(xfceShown, QStringLiteral("-1 -1 -1"));
        QCOMPARE(m_session->dconf(kGnome + QStringLiteral("double-click")), QString());
        // Plasma's store is its files: a configuration folder that cannot be
        // written keeps nothing.
        QFile::setPermissions(m_session->configFolder(), QFile::ReadOwner | QFile::ExeOwner);
        if (access(QFile::encodeName(m_session->configFolder()).constData(), W_OK) != 0)
            QVERIFY(!platform::setDoubleClickTime(700));
        QFile::setPermissions(m_session->configFolder(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void valuesOutsideTheScaleAreRefused()
    {
        m_session->setDesktop(QStringLiteral("GNOME"));
        QVERIFY(!platform::setPointerSpeed(0));
        QVERIFY(!platform::setPointerSpeed(21));
        QVERIFY(!platform::setDoubleClickTime(0));
        QVERIFY(!platform::setDoubleClickTime(5001));
        QCOMPARE(m_session->dconf(kGnome + QStringLiteral("speed")), QString());
    }
};

QTEST_GUILESS_MAIN(TestSystemMouse)
#include "tst_system_mouse.moc"
