#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kelv::test {

// A private desktop session for one test process: a fresh home, configuration,
// cache, data and runtime folder, and a D-Bus session bus of its own
// (dbus-daemon), so the desktops' real settings services (dconf-service,
// xfconfd) are started on demand by that bus and keep their stores in the
// temporary folders, never in the developer's own session. The environment of
// the process points at it while the object lives and is restored afterwards.
class DesktopSession
{
public:
    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession &) = delete;
    DesktopSession &operator=(const DesktopSession &) = delete;

    bool isRunning() const { return m_bus.state() == QProcess::Running && !m_address.isEmpty(); }
    QString home() const { return m_root.filePath(QStringLiteral("home")); }
    QString configFolder() const { return m_root.filePath(QStringLiteral("config")); }
    QString runtimeFolder() const { return m_root.filePath(QStringLiteral("runtime")); }
    QString busAddress() const { return m_address; }

    // XDG_CURRENT_DESKTOP and XDG_SESSION_TYPE ("x11", "wayland").
    void setDesktop(const QString &desktop, const QString &sessionType = QStringLiteral("x11"));

    // What the desktops' stores hold now, read with their own tools; the
    // empty text when the key is not set.
    QString dconf(const QString &path) const;
    QString xfconf(const QString &channel, const QString &property) const;
    QString kdeConfig(const QString &file, const QStringList &groups, const QString &key) const;
    // Runs a tool in the session; its standard output, trimmed; *ok tells
    // whether it exited with 0.
    static QString run(const QString &program, const QStringList &arguments, bool *ok = nullptr);

private:
    void setEnvironment(const char *name, const QByteArray &value);

    QTemporaryDir m_root;
    QProcess m_bus;
    QString m_address;
    QMap<QByteArray, QByteArray> m_saved; // earlier values; a null value was unset
};

} // namespace kelv::test
