#include "tools/updater/updater_core.h"

#include "platform/process_control.h"
#include "platform/process_state.h"
#include "platform/updater_command.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QThread>

namespace kelv::updater {
namespace {

constexpr int kPollMs = 100;

bool processAlive(qint64 pid)
{
    return pid > 0 && platform::processIsRunning(std::uint64_t(pid));
}
constexpr int kEndGraceMs = 5000;

QString rolledBackNotice(const QString &version, const QString &reason)
{
    const QString what =
        version.isEmpty() ? QStringLiteral("The update was rolled back")
                          : QStringLiteral("The update to version %1 was rolled back").arg(version);
    return what + QStringLiteral(": %1. The previous version has been restored.").arg(reason);
}

QString pendingHealthVersion(const install::InstallPaths &paths)
{
    QFile file(paths.healthPending);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(256)).trimmed() : QString();
}

// Ends a program that did not report in time: first politely, then by force.
void endProgram(qint64 pid, QStringList *log)
{
    if (!processAlive(pid))
        return;
    *log << QStringLiteral("ending the new program (process %1)").arg(pid);
    platform::endProcess(pid, false);
    if (waitForExit(pid, kEndGraceMs))
        return;
    platform::endProcess(pid, true);
    waitForExit(pid, kEndGraceMs);
}

enum class Health { Passed, Failed };

// Starts the new program and waits for its report. On failure *reason says why.
Health checkHealth(const Options &options, const install::InstallPaths &paths, QStringList *log,
                   QString *reason)
{
    qint64 pid = 0;
    if (!startProgram(paths.program, options.program, options.programArguments, &pid)) {
        *reason = QStringLiteral("the new version could not be started");
    } else {
        *log << QStringLiteral("started the new program (process %1); waiting for its report")
                    .arg(pid);
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            if (install::phaseOf(paths) == install::Phase::Started)
                return Health::Passed;
            if (!processAlive(pid)) {
                *reason = QStringLiteral("the new version ended before its window and page "
                                         "were shown");
                break;
            }
            if (timer.elapsed() > options.healthTimeoutMs) {
                *reason = QStringLiteral("the new version did not show its window and page "
                                         "within %1 seconds")
                              .arg(options.healthTimeoutMs / 1000);
                break;
            }
            QThread::msleep(kPollMs);
        }
    }
    // Only one of the report and this claim can win.
    if (!install::claimFailure(paths) && install::phaseOf(paths) == install::Phase::Started)
        return Health::Passed;
    endProgram(pid, log);
    return Health::Failed;
}

} // namespace

bool parseCommandLine(const QStringList &arguments, Options *options, QString *error)
{
    std::vector<std::string> words;
    for (const QString &argument : arguments)
        words.push_back(argument.toStdString());
    platform::UpdaterRequest request;
    std::string why;
    if (!platform::parseUpdaterArguments(words, &request, &why)) {
        *error = QString::fromStdString(why);
        return false;
    }
    options->waitPid = qint64(request.waitPid);
    options->restart = request.restart;
    options->programArguments.clear();
    if (request.autostart)
        options->programArguments << QStringLiteral("-autostart");
    return true;
}

bool waitForExit(qint64 pid, int timeoutMs)
{
    if (pid <= 0)
        return true;
    QElapsedTimer timer;
    timer.start();
    while (processAlive(pid)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(kPollMs);
    }
    return true;
}

Result run(const Options &options, QStringList *log)
{
    const install::InstallPaths paths(options.programFolder);
    if (!waitForExit(options.waitPid, options.waitTimeoutMs)) {
        *log << QStringLiteral("the program (process %1) is still running after %2 s: nothing "
                               "installed")
                    .arg(options.waitPid)
                    .arg(options.waitTimeoutMs / 1000);
        return Result::Busy;
    }
    const std::unique_ptr<QLockFile> lock = install::installLock(paths);
    if (!lock->tryLock(options.waitTimeoutMs)) {
        *log
            << QStringLiteral("another Updater is at work (%1): nothing installed").arg(paths.lock);
        return Result::Busy;
    }

    switch (install::phaseOf(paths)) {
    case install::Phase::Copying:
    case install::Phase::Failed:
        *log << QStringLiteral("an earlier update was interrupted: rolling it back");
        install::rollBack(paths, log);
        break;
    case install::Phase::Started:
        install::commit(paths, log);
        break;
    case install::Phase::Installed:
    case install::Phase::Idle:
        break;
    }

    if (!options.restart) {
        // Nothing would start the new version to see that it runs: it is not
        // installed now. The next start of the program hands it over again.
        if (install::phaseOf(paths) == install::Phase::Installed ||
            QFileInfo(paths.ready).isDir()) {
            install::scheduleInstallAtStart(paths);
            *log << QStringLiteral("not restarting: the update is installed at the next start, "
                                   "where the new version is checked");
            return Result::Deferred;
        }
        *log << QStringLiteral("nothing to install: %1 does not exist").arg(paths.ready);
        return Result::NothingToInstall;
    }

    if (install::phaseOf(paths) != install::Phase::Installed) {
        QString reason;
        switch (install::installReadyFiles(paths, log, &reason)) {
        case install::CopyResult::NothingToInstall:
            lock->unlock();
            startProgram(paths.program, options.program, options.programArguments);
            return Result::NothingToInstall;
        case install::CopyResult::RolledBack:
            install::writeNotice(paths,
                                 rolledBackNotice(install::readPendingVersion(paths), reason));
            QDir(paths.ready).removeRecursively();
            QFile::remove(paths.pendingVersion);
            lock->unlock();
            startProgram(paths.program, options.program, options.programArguments);
            return Result::RolledBack;
        case install::CopyResult::Installed:
            break;
        }
    }

    const QString version = pendingHealthVersion(paths);
    QString reason;
    if (checkHealth(options, paths, log, &reason) == Health::Passed) {
        install::commit(paths, log);
        return Result::Installed;
    }
    *log << reason;
    install::writeNotice(paths, rolledBackNotice(version, reason));
    install::rollBack(paths, log);
    lock->unlock();
    qint64 pid = 0;
    if (startProgram(paths.program, options.program, options.programArguments, &pid))
        *log << QStringLiteral("started the previous program (process %1)").arg(pid);
    return Result::RolledBack;
}

bool startProgram(const QString &programFolder, const QString &program,
                  const QStringList &arguments, qint64 *pid)
{
    const QString folder = QDir::cleanPath(QDir(programFolder).absolutePath());
    QProcess process;
    process.setProgram(folder + QLatin1Char('/') + program);
    process.setArguments(arguments);
    process.setWorkingDirectory(folder);
    // The program outlives the Updater and whatever output it was given.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached(pid);
}

} // namespace kelv::updater
