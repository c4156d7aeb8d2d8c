#include "tests/testsupport/xvfb_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

namespace kelv::test {

XvfbServer::XvfbServer()
{
    // Well away from the low numbers a desktop or another namespace may hold.
    // Xvfb writes the number on its -displayfd once it listens there, and ends
    // when the number is taken: the socket file alone could belong to another
    // test's server that started at the same moment. -noreset: an X server
    // resets when its last client leaves, and a program that connects during
    // the reset (the next one a test starts) cannot connect at all.
    for (int display = 90 + int(QCoreApplication::applicationPid() % 200); display < 400;
         ++display) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)) ||
            QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
            continue;
        m_process.setProgram(QStringLiteral("Xvfb"));
        m_process.setArguments({QStringLiteral(":%1").arg(display), QStringLiteral("-displayfd"),
                                QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                                QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp"), QStringLiteral("-noreset")});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return;
        QElapsedTimer timer;
        timer.start();
        QByteArray written;
        while (timer.elapsed() < 10000 && m_process.state() == QProcess::Running &&
               !written.endsWith('\n')) {
            m_process.waitForReadyRead(100);
            written += m_process.readAllStandardOutput();
        }
        if (m_process.state() == QProcess::Running && written.trimmed().toInt() == display) {
            m_display = display;
            return;
        }
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

XvfbServer::~XvfbServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
}

TrayHost::TrayHost(const QString &display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kelv_tray_host"),
                    QStringList());
    // The host says "tray" once it owns the selection.
    while (m_process.waitForReadyRead(5000)) {
        if (m_process.readAll().contains("tray")) {
            m_running = true;
            return;
        }
    }
}

TrayHost::~TrayHost()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
}

bool xdotool(const QString &display, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(10000) && process.exitCode() == 0;
}

} // namespace kelv::test
