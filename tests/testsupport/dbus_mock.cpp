#include "tests/testsupport/dbus_mock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

namespace kelv::test {

namespace {

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
</busconfig>
)";

} // namespace

DBusMock::DBusMock(Kind kind)
    : m_kind(kind),
      m_variable(kind == Kind::System ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS")
{
    m_had = qEnvironmentVariableIsSet(m_variable);
    m_saved = qgetenv(m_variable);
    if (!m_root.isValid())
        return;
    QFile file(m_root.filePath(QStringLiteral("bus.conf")));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QString::fromLatin1(kBusConfig).arg(m_root.filePath("bus")).toUtf8()) < 0)
        return;
    file.close();
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--config-file=") + file.fileName(), QStringLiteral("--nofork"),
                 QStringLiteral("--print-address=1")});
    if (!m_bus.waitForStarted(5000))
        return;
    const QDeadlineTimer deadline(5000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_bus.waitForReadyRead(100))
        out += m_bus.readAllStandardOutput();
    m_address = QString::fromUtf8(out.trimmed());
    qputenv(m_variable, m_address.toUtf8());
}

DBusMock::DBusMock(Kind kind, const QString &address)
    : m_kind(kind), m_address(address),
      m_variable(kind == Kind::System ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS"),
      m_ownBus(false)
{
}

DBusMock::~DBusMock()
{
    stopTemplates();
    if (!m_ownBus)
        return;
    if (m_bus.state() == QProcess::Running) {
        m_bus.kill();
        m_bus.waitForFinished(3000);
    }
    if (m_had)
        qputenv(m_variable, m_saved);
    else
        qunsetenv(m_variable);
}

QString DBusMock::unavailable()
{
    for (const char *tool : {"dbus-daemon", "busctl"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            return QLatin1String(tool) + QStringLiteral(" is not installed");
    }
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
    if (!probe.waitForFinished(20000) || probe.exitCode() != 0)
        return QStringLiteral("python3-dbusmock is not installed (scripts/setup.sh test)");
    return QString();
}

bool DBusMock::startTemplate(const QString &name, const QString &busName)
{
    if (!running())
        return false;
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QLatin1String(m_variable), m_address);
    process->setProcessEnvironment(env);
    process->setStandardOutputFile(m_root.filePath(name + QStringLiteral(".log")));
    process->setStandardErrorFile(m_root.filePath(name + QStringLiteral(".log")));
    QStringList args{QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                     name};
    if (m_kind == Kind::System)
        args << QStringLiteral("--system");
    process->start(QStringLiteral("/usr/bin/python3"), args);
    if (!process->waitForStarted(5000))
        return false;
    m_templates.push_back(std::move(process));
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        const QByteArray out =
            busctl({QStringLiteral("call"), QStringLiteral("org.freedesktop.DBus"),
                    QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus"),
                    QStringLiteral("NameHasOwner"), QStringLiteral("s"), busName});
        if (out.trimmed() == "b true")
            return true;
        QThread::msleep(50);
    }
    return false;
}

void DBusMock::stopTemplates()
{
    for (auto &p : m_templates) {
        p->terminate();
        if (!p->waitForFinished(3000))
            p->kill();
        p->waitForFinished(3000);
    }
    m_templates.clear();
}

QByteArray DBusMock::busctl(const QStringList &arguments, bool *ok, bool json) const
{
    QProcess p;
    QStringList args{QStringLiteral("--address=") + m_address};
    if (json)
        args << QStringLiteral("--json=short");
    p.start(QStringLiteral("busctl"), args + arguments);
    const bool done = p.waitForFinished(8000);
    if (ok)
        *ok = done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

QJsonArray DBusMock::calls(const QString &busName, const QString &path) const
{
    const QByteArray out =
        busctl({QStringLiteral("call"), busName, path, QStringLiteral("org.freedesktop.DBus.Mock"),
                QStringLiteral("GetCalls")},
               nullptr, true);
    return QJsonDocument::fromJson(out).object().value("data").toArray().at(0).toArray();
}

} // namespace kelv::test
