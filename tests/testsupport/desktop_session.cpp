#include "tests/testsupport/desktop_session.h"

#include <QDir>
#include <QFile>

namespace kelv::test {

DesktopSession::DesktopSession()
{
    for (const char *folder : {"home", "config", "cache", "data", "runtime"})
        QDir(m_root.path()).mkpath(QLatin1String(folder));
    // A runtime folder must be private to its user.
    QFile::setPermissions(runtimeFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setEnvironment("HOME", QFile::encodeName(home()));
    setEnvironment("XDG_CONFIG_HOME", QFile::encodeName(configFolder()));
    setEnvironment("XDG_CACHE_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("cache"))));
    setEnvironment("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(QStringLiteral("data"))));
    setEnvironment("XDG_RUNTIME_DIR", QFile::encodeName(runtimeFolder()));
    setEnvironment("GSETTINGS_BACKEND", "dconf");
    setEnvironment("XDG_CURRENT_DESKTOP", QByteArray());
    setEnvironment("XDG_SESSION_TYPE", QByteArray());

    // The bus inherits this environment, and so do the services it starts.
    m_bus.setProgram(QStringLiteral("dbus-daemon"));
    m_bus.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    m_bus.setProcessChannelMode(QProcess::SeparateChannels);
    m_bus.start();
    if (m_bus.waitForStarted(5000)) {
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(5000)) {
        }
        m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    }
    setEnvironment("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
}

DesktopSession::~DesktopSession()
{
    // The services started by the bus end when it goes away.
    m_bus.terminate();
    if (!m_bus.waitForFinished(3000)) {
        m_bus.kill();
        m_bus.waitForFinished(3000);
    }
    for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it) {
        if (it.value().isNull())
            qunsetenv(it.key().constData());
        else
            qputenv(it.key().constData(), it.value());
    }
}

void DesktopSession::setEnvironment(const char *name, const QByteArray &value)
{
    if (!m_saved.contains(name))
        m_saved.insert(name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray());
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, value);
}

void DesktopSession::setDesktop(const QString &desktop, const QString &sessionType)
{
    setEnvironment("XDG_CURRENT_DESKTOP", desktop.toUtf8());
    setEnvironment("XDG_SESSION_TYPE", sessionType.toUtf8());
}

QString DesktopSession::run(const QString &program, const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program, arguments);
    const bool finished = process.waitForFinished(10000);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString DesktopSession::dconf(const QString &path) const
{
    return run(QStringLiteral("dconf"), {QStringLiteral("read"), path});
}

QString DesktopSession::xfconf(const QString &channel, const QString &property) const
{
    return run(QStringLiteral("xfconf-query"),
               {QStringLiteral("--channel"), channel, QStringLiteral("--property"), property});
}

QString DesktopSession::kdeConfig(const QString &file, const QStringList &groups,
                                  const QString &key) const
{
    QStringList arguments{QStringLiteral("--file"), file};
    for (const QString &group : groups)
        arguments << QStringLiteral("--group") << group;
    arguments << QStringLiteral("--key") << key;
    return run(QStringLiteral("kreadconfig5"), arguments);
}

} // namespace kelv::test
