#include "tests/testsupport/ratbag_daemon.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <csignal>
#include <sys/types.h>

namespace kelv::test {

namespace {

// dbus-daemon's configuration: a bus on a socket in the test's folder, open to everyone
// (the test's own bus), and what the kind of bus adds (%2). Not of the system type: such a
// bus would start the daemon through the system's setuid helper.
const char kBusConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
  %2
</busconfig>
)";

// The daemon's bus activation file: the bus starts ratbagd.devel with its own environment.
const char kServiceFile[] = "[D-BUS Service]\nName=%1\nExec=%2 --verbose\n";

QString daemonFile()
{
    return qEnvironmentVariable("KELV_RATBAGD_DEVEL");
}

} // namespace

RatbagDaemon::RatbagDaemon(Bus kind) : m_kind(kind)
{
    m_hadAddress = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS");
    m_savedAddress = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_hadName = qEnvironmentVariableIsSet("KELV_RATBAG_BUS_NAME");
    m_savedName = qgetenv("KELV_RATBAG_BUS_NAME");
    if (!m_root.isValid())
        return;
    QString extra;
    if (kind == Bus::Installable) {
        QDir().mkpath(m_root.filePath(QStringLiteral("services")));
        extra = QStringLiteral("<servicedir>") + m_root.filePath(QStringLiteral("services")) +
                QStringLiteral("</servicedir>");
    } else if (kind == Bus::Refusing) {
        extra = QStringLiteral(R"(<policy context="mandatory"><deny send_destination="%1" )"
                               R"(send_interface="org.freedesktop.DBus.Properties"/></policy>)")
                    .arg(QLatin1String(kBusName));
    }
    const QString config = m_root.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QString::fromLatin1(kBusConfig).arg(m_root.filePath("bus"), extra).toUtf8()) < 0)
        return;
    file.close();
    // What the bus passes on to a daemon it starts itself.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               QStringLiteral("unix:path=") + m_root.filePath("bus"));
    env.insert(QStringLiteral("RATBAG_TEST"), QStringLiteral("1"));
    env.insert(QStringLiteral("LIBRATBAG_DATA_DIR"), qEnvironmentVariable("KELV_RATBAGD_DATA"));
    m_bus.setProcessEnvironment(env);
    m_bus.setProgram(QStringLiteral("dbus-daemon"));
    m_bus.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
    m_bus.setProcessChannelMode(QProcess::SeparateChannels);
    m_bus.start();
    if (!m_bus.waitForStarted(5000))
        return;
    const QDeadlineTimer deadline(5000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_bus.waitForReadyRead(100))
        out += m_bus.readAllStandardOutput();
    m_address = QString::fromUtf8(out.trimmed());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    qputenv("KELV_RATBAG_BUS_NAME", kBusName);
}

RatbagDaemon::~RatbagDaemon()
{
    // A daemon the bus started itself is no child of ours: end it by its process ID.
    if (m_kind == Bus::Installable && busRunning()) {
        const QByteArray out =
            busctl({QStringLiteral("call"), QStringLiteral("org.freedesktop.DBus"),
                    QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                    QStringLiteral("GetConnectionUnixProcessID"), QStringLiteral("s"),
                    QLatin1String(kBusName)});
        const qint64 pid =
            QJsonDocument::fromJson(out).object().value("data").toArray().at(0).toInteger();
        if (pid > 1)
            ::kill(pid_t(pid), SIGTERM);
    }
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
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_savedAddress);
    else
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (m_hadName)
        qputenv("KELV_RATBAG_BUS_NAME", m_savedName);
    else
        qunsetenv("KELV_RATBAG_BUS_NAME");
}

QString RatbagDaemon::unavailable()
{
    const QString file = daemonFile();
    if (file.isEmpty())
        return qEnvironmentVariable("KELV_RATBAGD_SKIP",
                                    QStringLiteral("ratbagd.devel was not built"));
    if (!QFileInfo(file).isExecutable())
        return QStringLiteral("ratbagd.devel not built at ") + file;
    for (const char *tool : {"dbus-daemon", "busctl"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            return QLatin1String(tool) + QStringLiteral(" is not installed");
    }
    // ratbagd.devel installs its bus policy there before it starts, or refuses to start.
    if (!QFileInfo(QStringLiteral("/etc/dbus-1/system.d")).isWritable())
        return QStringLiteral("ratbagd.devel must write /etc/dbus-1/system.d (run as root)");
    return QString();
}

int RatbagDaemon::api()
{
    return qEnvironmentVariableIntValue("KELV_RATBAGD_API") == 2 ? 2 : 1;
}

QString RatbagDaemon::release()
{
    return qEnvironmentVariable("KELV_RATBAGD_RELEASE", QStringLiteral("0.17"));
}

bool RatbagDaemon::profileEnabled(const QString &profile) const
{
    return api() >= 2
               ? !property(profile, QStringLiteral("Profile"), QStringLiteral("Disabled")).toBool()
               : property(profile, QStringLiteral("Profile"), QStringLiteral("Enabled")).toBool();
}

UserDataHome::UserDataHome()
    : m_previous(qgetenv("XDG_DATA_HOME")), m_had(qEnvironmentVariableIsSet("XDG_DATA_HOME"))
{
    qputenv("XDG_DATA_HOME", m_dir.path().toLocal8Bit());
}

UserDataHome::~UserDataHome()
{
    if (m_had)
        qputenv("XDG_DATA_HOME", m_previous);
    else
        qunsetenv("XDG_DATA_HOME");
}

QString RatbagDaemon::root()
{
    return QStringLiteral("/org/freedesktop/ratbag_devel1");
}

QString RatbagDaemon::interface(const QString &suffix)
{
    return QLatin1String(kBusName) + QLatin1Char('.') + suffix;
}

bool RatbagDaemon::start()
{
    if (!busRunning() || !unavailable().isEmpty())
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("RATBAG_TEST"), QStringLiteral("1"));
    env.insert(QStringLiteral("LIBRATBAG_DATA_DIR"), qEnvironmentVariable("KELV_RATBAGD_DATA"));
    m_daemon.setProcessEnvironment(env);
    m_daemon.setProgram(daemonFile());
    m_daemon.setArguments({QStringLiteral("--verbose")});
    m_daemon.setStandardOutputFile(m_root.filePath(QStringLiteral("ratbagd.log")),
                                   QIODevice::Append);
    m_daemon.setStandardErrorFile(m_root.filePath(QStringLiteral("ratbagd.log")),
                                  QIODevice::Append);
    m_daemon.start();
    if (!m_daemon.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && running()) {
        // A refusing bus lets nobody read the daemon's properties: its name must do.
        if (m_kind == Bus::Refusing ? nameOwned() : !devices().isEmpty())
            return true;
        QThread::msleep(20);
    }
    QFile log(m_root.filePath(QStringLiteral("ratbagd.log")));
    if (log.open(QIODevice::ReadOnly))
        qWarning("ratbagd.devel did not come up:\n%s", log.readAll().right(2000).constData());
    return false;
}

void RatbagDaemon::kill()
{
    if (m_daemon.state() != QProcess::Running)
        return;
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

bool RatbagDaemon::install(const QString &program)
{
    QFile service(m_root.filePath(QStringLiteral("services/")) + QLatin1String(kBusName) +
                  QStringLiteral(".service"));
    const bool written =
        m_kind == Bus::Installable && service.open(QIODevice::WriteOnly) &&
        service.write(QString::fromLatin1(kServiceFile)
                          .arg(QLatin1String(kBusName), program.isEmpty() ? daemonFile() : program)
                          .toUtf8()) > 0;
    service.close();
    // The bus reads its service files again when asked (it would on its own, a little later).
    if (written)
        busctl({QStringLiteral("call"), QStringLiteral("org.freedesktop.DBus"),
                QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                QStringLiteral("ReloadConfig")});
    return written;
}

void RatbagDaemon::pause()
{
    if (running())
        ::kill(pid_t(m_daemon.processId()), SIGSTOP);
}

void RatbagDaemon::resume()
{
    if (running())
        ::kill(pid_t(m_daemon.processId()), SIGCONT);
}

QByteArray RatbagDaemon::forRelease(const QByteArray &json)
{
    if (api() < 2)
        return json;
    return QString::fromUtf8(json)
        .remove(QRegularExpression(QStringLiteral(R"("type"\s*:\s*\d+\s*,)")))
        .toUtf8();
}

QString RatbagDaemon::load(const QByteArray &json)
{
    const QStringList before = devices();
    bool ok = false;
    busctl({QStringLiteral("call"), QLatin1String(kBusName), root(), interface("Manager"),
            QStringLiteral("LoadTestDevice"), QStringLiteral("s"),
            QString::fromUtf8(forRelease(json))},
           &ok);
    if (!ok)
        return QString();
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        for (const QString &path : devices()) {
            if (!before.contains(path))
                return path;
        }
        QThread::msleep(10);
    }
    return QString();
}

bool RatbagDaemon::nameOwned() const
{
    return busctl({QStringLiteral("call"), QStringLiteral("org.freedesktop.DBus"),
                   QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                   QStringLiteral("NameHasOwner"), QStringLiteral("s"), QLatin1String(kBusName)})
        .contains("true");
}

QStringList RatbagDaemon::devices() const
{
    return paths(root(), QStringLiteral("Manager"), QStringLiteral("Devices"));
}

QByteArray RatbagDaemon::busctl(const QStringList &arguments, bool *ok) const
{
    QProcess p;
    p.start(QStringLiteral("busctl"),
            QStringList{QStringLiteral("--address=") + m_address, QStringLiteral("--json=short")} +
                arguments);
    const bool finished = p.waitForFinished(10000);
    if (ok)
        *ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

QJsonValue RatbagDaemon::property(const QString &path, const QString &interfaceSuffix,
                                  const QString &name) const
{
    bool ok = false;
    const QByteArray out = busctl({QStringLiteral("get-property"), QLatin1String(kBusName), path,
                                   interface(interfaceSuffix), name},
                                  &ok);
    if (!ok)
        return QJsonValue(QJsonValue::Undefined);
    return QJsonDocument::fromJson(out).object().value(QStringLiteral("data"));
}

QStringList RatbagDaemon::paths(const QString &path, const QString &interfaceSuffix,
                                const QString &name) const
{
    QStringList out;
    const QJsonValue value = property(path, interfaceSuffix, name);
    for (const QJsonValue &item : value.toArray())
        out << item.toString();
    return out;
}

bool RatbagDaemon::setProperty(const QString &path, const QString &interfaceSuffix,
                               const QString &name, const QStringList &signatureAndValues)
{
    bool ok = false;
    busctl(QStringList{QStringLiteral("set-property"), QLatin1String(kBusName), path,
                       interface(interfaceSuffix), name} +
               signatureAndValues,
           &ok);
    return ok;
}

bool RatbagDaemon::call(const QString &path, const QString &interfaceSuffix, const QString &method)
{
    bool ok = false;
    busctl(
        {QStringLiteral("call"), QLatin1String(kBusName), path, interface(interfaceSuffix), method},
        &ok);
    return ok;
}

} // namespace kelv::test
