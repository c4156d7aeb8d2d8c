#include "tests/testsupport/razer_daemon.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <sys/types.h>

namespace kelv::test {

namespace {

const char kBusConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

QString modulesFolder()
{
    return qEnvironmentVariable("KELV_OPENRAZER_DIR") +
           QStringLiteral("/usr/lib/python3/dist-packages");
}

struct ModelFiles
{
    int pid;
    const char *name;
    // name=content pairs the mouse starts with (the driver's attributes the daemon reads).
    QList<QPair<QString, QByteArray>> files;
};

ModelFiles filesOf(RazerDaemon::Model model)
{
    using M = RazerDaemon::Model;
    const QByteArray stages("\x02\x01\x90\x01\x90\x03\x20\x03\x20\x06\x40\x06\x40", 13);
    switch (model) {
    case M::DeathAdderV2:
        return {0x0084, "Razer DeathAdder V2", {{"dpi", "800:800"}, {"poll_rate", "1000"}}};
    case M::ViperUltimateWireless:
        return {0x007B,
                "Razer Viper Ultimate (Wireless)",
                {{"dpi", "800:800"},
                 {"dpi_stages", stages},
                 {"poll_rate", "500"},
                 {"charge_level", "128"},
                 {"charge_status", "0"},
                 {"device_idle_time", "300"},
                 {"charge_low_threshold", "38"}}};
    case M::DeathAdder35G:
        return {0x0016,
                "Razer DeathAdder 3.5G",
                {{"dpi", "1800"},
                 {"poll_rate", "500"},
                 {"logo_led_state", "1"},
                 {"scroll_led_state", "1"}}};
    case M::Viper8KHz:
        return {0x0091,
                "Razer Viper 8KHz",
                {{"dpi", "800:800"}, {"dpi_stages", stages}, {"poll_rate", "1000"}}};
    }
    return {};
}

} // namespace

RazerDaemon::RazerDaemon()
{
    m_hadAddress = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS");
    m_savedAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    m_hadRoot = qEnvironmentVariableIsSet("KELV_SYSFS_ROOT");
    m_savedRoot = qgetenv("KELV_SYSFS_ROOT");
    if (!m_root.isValid())
        return;
    QDir(m_root.path()).mkpath(QStringLiteral("sys/bus/hid/devices"));
    QDir(m_root.path()).mkpath(QStringLiteral("sys/module/razermouse"));
    QDir(m_root.path()).mkpath(QStringLiteral("run"));
    for (const char *name : {"razer.conf", "persistence.conf"}) {
        QFile f(m_root.filePath(QLatin1String(name)));
        f.open(QIODevice::WriteOnly);
    }
    const QString config = m_root.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QString::fromLatin1(kBusConfig).arg(m_root.filePath("bus")).toUtf8()) < 0)
        return;
    file.close();
    m_bus.setProgram(QStringLiteral("dbus-daemon"));
    m_bus.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
    m_bus.start();
    if (!m_bus.waitForStarted(5000))
        return;
    const QDeadlineTimer deadline(5000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_bus.waitForReadyRead(100))
        out += m_bus.readAllStandardOutput();
    m_address = QString::fromUtf8(out.trimmed());
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    qputenv("KELV_SYSFS_ROOT", sysfsRoot().toUtf8());
}

RazerDaemon::~RazerDaemon()
{
    resume();
    if (m_daemon.state() == QProcess::Running) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(3000))
            m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
    if (m_bus.state() == QProcess::Running) {
        m_bus.kill();
        m_bus.waitForFinished(3000);
    }
    if (m_hadAddress)
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedAddress);
    else
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (m_hadRoot)
        qputenv("KELV_SYSFS_ROOT", m_savedRoot);
    else
        qunsetenv("KELV_SYSFS_ROOT");
}

QString RazerDaemon::unavailable()
{
    const QString skip = qEnvironmentVariable("KELV_OPENRAZER_SKIP");
    if (!skip.isEmpty())
        return skip;
    QFile reason(qEnvironmentVariable("KELV_OPENRAZER_DIR") + QStringLiteral("/.unavailable"));
    if (reason.open(QIODevice::ReadOnly))
        return QString::fromUtf8(reason.readAll()).trimmed();
    if (!QFileInfo::exists(modulesFolder() + QStringLiteral("/openrazer_daemon/daemon.py")))
        return QStringLiteral("openrazer-daemon is not unpacked (build target openrazer_daemon)");
    for (const char *tool : {"dbus-daemon", "busctl"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            return QLatin1String(tool) + QStringLiteral(" is not installed");
    }
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"),
                 QStringLiteral("import dbus, gi, pyudev, setproctitle, daemonize, notify2")});
    if (!probe.waitForFinished(20000) || probe.exitCode() != 0)
        return QStringLiteral("the daemon's Python modules are missing (scripts/setup.sh test)");
    return QString();
}

QString RazerDaemon::sysfsRoot() const
{
    return m_root.filePath(QStringLiteral("sys"));
}

QString RazerDaemon::addMouse(Model model, const QString &serial, int n, const QString &port)
{
    const ModelFiles m = filesOf(model);
    const QString id = QStringLiteral("0003:1532:%1.%2")
                           .arg(m.pid, 4, 16, QLatin1Char('0'))
                           .arg(n, 4, 16, QLatin1Char('0'))
                           .toUpper();
    const QString relative =
        QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/%1/%1:1.0/%2").arg(port, id);
    const QString folder = sysfsRoot() + QLatin1Char('/') + relative;
    QDir().mkpath(folder);
    setFile(folder, QStringLiteral("device_type"), m.name);
    setFile(folder, QStringLiteral("device_serial"), serial.toUtf8());
    setFile(folder, QStringLiteral("firmware_version"), "v1.0");
    setFile(folder, QStringLiteral("version"), "3.5.1");
    for (const auto &[name, content] : m.files)
        setFile(folder, name, content);
    QFile::link(QStringLiteral("../../../") + relative,
                sysfsRoot() + QStringLiteral("/bus/hid/devices/") + id);
    // The USB device itself, with its vendor.
    const QString usb = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/") + port;
    setFile(sysfsRoot() + QLatin1Char('/') + usb, QStringLiteral("idVendor"), "1532");
    QDir().mkpath(sysfsRoot() + QStringLiteral("/bus/usb/devices"));
    QFile::link(QStringLiteral("../../../") + usb,
                sysfsRoot() + QStringLiteral("/bus/usb/devices/") + port);
    return folder;
}

void RazerDaemon::removeMouse(const QString &folder)
{
    const QString port = QFileInfo(QFileInfo(folder).path()).path().section(QLatin1Char('/'), -1);
    QFile::remove(sysfsRoot() + QStringLiteral("/bus/usb/devices/") + port);
    QFile::remove(sysfsRoot() + QStringLiteral("/bus/hid/devices/") + QFileInfo(folder).fileName());
    QDir(folder).removeRecursively();
}

QByteArray RazerDaemon::file(const QString &folder, const QString &name, bool trimmed) const
{
    QFile f(folder + QLatin1Char('/') + name);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return trimmed ? f.readAll().trimmed() : f.readAll();
}

bool RazerDaemon::setFile(const QString &folder, const QString &name, const QByteArray &content)
{
    QFile f(folder + QLatin1Char('/') + name);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool RazerDaemon::start(int mice)
{
    if (!busRunning() || !unavailable().isEmpty())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("PYTHONPATH"), modulesFolder());
    env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProgram(QStringLiteral("/usr/bin/python3"));
    m_daemon.setArguments(
        {qEnvironmentVariable("KELV_RAZER_RUNNER"), QStringLiteral("--test-dir"),
         sysfsRoot() + QStringLiteral("/bus/hid/devices"), QStringLiteral("--run-dir"),
         m_root.filePath(QStringLiteral("run")), QStringLiteral("--config"),
         m_root.filePath(QStringLiteral("razer.conf")), QStringLiteral("--persistence"),
         m_root.filePath(QStringLiteral("persistence.conf"))});
    m_daemon.setStandardOutputFile(m_root.filePath(QStringLiteral("daemon.log")),
                                   QIODevice::Append);
    m_daemon.setStandardErrorFile(m_root.filePath(QStringLiteral("daemon.log")), QIODevice::Append);
    m_daemon.start();
    if (!m_daemon.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && running()) {
        bool ok = false;
        if (serials(&ok).size() == mice && ok)
            return true;
        QThread::msleep(50);
    }
    qWarning("openrazer-daemon did not come up:\n%s", qPrintable(log().right(3000)));
    return false;
}

void RazerDaemon::kill()
{
    if (m_daemon.state() != QProcess::Running)
        return;
    resume();
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

void RazerDaemon::suspend()
{
    if (running())
        ::kill(pid_t(m_daemon.processId()), SIGSTOP);
}

void RazerDaemon::resume()
{
    if (running())
        ::kill(pid_t(m_daemon.processId()), SIGCONT);
}

bool RazerDaemon::replug(int mice)
{
    if (!running())
        return false;
    ::kill(pid_t(m_daemon.processId()), SIGUSR1);
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        bool ok = false;
        if (serials(&ok).size() == mice && ok)
            return true;
        QThread::msleep(50);
    }
    qWarning("openrazer-daemon did not list %d devices:\n%s", mice, qPrintable(log().right(3000)));
    return false;
}

QStringList RazerDaemon::serials(bool *answered) const
{
    bool ok = false;
    const QByteArray out = busctl({QStringLiteral("--json=short"), QStringLiteral("call"),
                                   QStringLiteral("org.razer"), QStringLiteral("/org/razer"),
                                   QStringLiteral("razer.devices"), QStringLiteral("getDevices")},
                                  &ok);
    if (answered)
        *answered = ok;
    QStringList list;
    for (const QJsonValue &v :
         QJsonDocument::fromJson(out).object().value("data").toArray().at(0).toArray())
        list << v.toString();
    return list;
}

QByteArray RazerDaemon::busctl(const QStringList &arguments, bool *ok) const
{
    QProcess p;
    p.start(QStringLiteral("busctl"),
            QStringList{QStringLiteral("--address=") + m_address, QStringLiteral("--timeout=3")} +
                arguments);
    const bool done = p.waitForFinished(8000);
    if (ok)
        *ok = done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

QString RazerDaemon::log() const
{
    QFile f(m_root.filePath(QStringLiteral("daemon.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace kelv::test
