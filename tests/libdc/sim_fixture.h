#pragma once

// Test helpers around the real simulated mouse: a private state folder per test (set as
// DC_SIM_DIR for the library and for dcsim) and running dcsim as a real process.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <csignal>
#include <sys/types.h>

namespace kelv::test {

// The built program folder's files (libdc.so, dcsim).
inline QString programFile(const QString &name)
{
    return qEnvironmentVariable("KELV_PROGRAM_DIR") + QLatin1Char('/') + name;
}

inline QString libdcFile()
{
    return programFile(QStringLiteral("libdc.so"));
}

// A fresh, empty simulator state folder, made DC_SIM_DIR while the object lives. The
// library follows DC_SIM_DIR on every call, so each test starts with a factory mouse.
class SimFolder
{
public:
    SimFolder() : m_previous(qgetenv("DC_SIM_DIR"))
    {
        qputenv("DC_SIM_DIR", m_dir.path().toLocal8Bit());
    }
    ~SimFolder() { qputenv("DC_SIM_DIR", m_previous); }
    SimFolder(const SimFolder &) = delete;
    SimFolder &operator=(const SimFolder &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString file(const QString &name) const { return m_dir.filePath(name); }

private:
    QByteArray m_previous;
    QTemporaryDir m_dir;
};

// Runs dcsim with the current environment; returns its exit code (-1 when it did not run).
inline int runDcsim(const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(programFile(QStringLiteral("dcsim")), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitCode();
}

// A real dcsim stopped (SIGSTOP) while it holds the simulated mouse's lock, as a tool
// suspended half way through a command would. Killed when the object goes.
class StoppedDcsim
{
public:
    StoppedDcsim()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(programFile(QStringLiteral("dcsim")),
                        {QStringLiteral("hold"), QStringLiteral("600000")});
        QDeadlineTimer deadline(30000);
        while (!m_process.readAll().contains("holding the device")) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning ||
                !m_process.waitForReadyRead(int(deadline.remainingTime())))
                return;
        }
        m_stopped = ::kill(pid_t(m_process.processId()), SIGSTOP) == 0;
    }
    ~StoppedDcsim() { kill(); }
    StoppedDcsim(const StoppedDcsim &) = delete;
    StoppedDcsim &operator=(const StoppedDcsim &) = delete;

    // True once dcsim holds the lock and is stopped.
    bool isStopped() const { return m_stopped; }
    // Ends dcsim; the system releases its lock.
    void kill()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(30000);
        }
        m_stopped = false;
    }

private:
    QProcess m_process;
    bool m_stopped = false;
};

} // namespace kelv::test
