#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace kelv::test {

// A private virtual X server for tests that need real X11 (key grabs, the
// RECORD extension, xdotool). Starts Xvfb on a free display number (taken only
// once Xvfb reports that it listens there) and stops it when destroyed.
class XvfbServer
{
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running && m_display >= 0; }
    // ":N"
    QString display() const { return QStringLiteral(":%1").arg(m_display); }

private:
    QProcess m_process;
    int m_display = -1;
};

// A notification area on a display, as a desktop's panel has one, for as long
// as the object lives: kelv_tray_host from the running executable's folder.
class TrayHost
{
public:
    explicit TrayHost(const QString &display);
    ~TrayHost();
    TrayHost(const TrayHost &) = delete;
    TrayHost &operator=(const TrayHost &) = delete;

    // True once the host owns the display's tray.
    bool isRunning() const { return m_running; }

private:
    QProcess m_process;
    bool m_running = false;
};

// Runs xdotool with the arguments against display; true when it succeeded.
bool xdotool(const QString &display, const QStringList &arguments);

} // namespace kelv::test
