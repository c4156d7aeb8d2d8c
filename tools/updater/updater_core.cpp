#include "tools/updater/updater_core.h"

#include "platform/process_state.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <algorithm>

namespace kelv::updater {
namespace {

struct Paths
{
    explicit Paths(const QString &folder)
        : program(QDir::cleanPath(QDir(folder).absolutePath())),
          client(program + QStringLiteral("/tupdates/client")),
          ready(client + QStringLiteral("/ready")), backup(client + QStringLiteral("/backup")),
          journal(client + QStringLiteral("/update.journal"))
    {
    }
    QString program;
    QString client;
    QString ready;
    QString backup;
    QString journal;
};

bool processAlive(qint64 pid)
{
    return pid > 0 && platform::processIsRunning(std::uint64_t(pid));
}

// Undoes the journal's steps in reverse order.
void rollBack(const Paths &paths, QStringList *log)
{
    QFile journal(paths.journal);
    QStringList entries;
    if (journal.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = journal.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.size() > 2)
                entries << QString::fromUtf8(line);
        }
        journal.close();
    }
    std::reverse(entries.begin(), entries.end());
    for (const QString &entry : std::as_const(entries)) {
        const QChar kind = entry.at(0);
        const QString relative = entry.mid(2);
        const QString target = paths.program + QLatin1Char('/') + relative;
        if (kind == QLatin1Char('N')) {
            QFile::remove(target);
            *log << QStringLiteral("rollback: removed new file %1").arg(relative);
        } else if (kind == QLatin1Char('B')) {
            const QString saved = paths.backup + QLatin1Char('/') + relative;
            if (QFileInfo::exists(saved) || QFileInfo(saved).isSymLink()) {
                QFile::remove(target);
                if (QFile::rename(saved, target))
                    *log << QStringLiteral("rollback: restored %1").arg(relative);
                else
                    *log << QStringLiteral("rollback: could not restore %1").arg(relative);
            }
        } else if (kind == QLatin1Char('D')) {
            QDir().rmdir(target);
        }
    }
    QFile::remove(paths.journal);
    QDir(paths.backup).removeRecursively();
}

bool record(QFile &journal, char kind, const QString &relative)
{
    const QByteArray line = QByteArray(1, kind) + ' ' + relative.toUtf8() + '\n';
    return journal.write(line) == line.size() && journal.flush();
}

} // namespace

bool waitForExit(qint64 pid, int timeoutMs)
{
    if (pid <= 0)
        return true;
    QElapsedTimer timer;
    timer.start();
    while (processAlive(pid)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(100);
    }
    return true;
}

Result applyUpdate(const QString &programFolder, QStringList *log)
{
    const Paths paths(programFolder);
    if (QFileInfo::exists(paths.journal)) {
        *log << QStringLiteral("an earlier update was interrupted: rolling it back");
        rollBack(paths, log);
    }
    if (!QFileInfo(paths.ready).isDir()) {
        *log << QStringLiteral("nothing to install: %1 does not exist").arg(paths.ready);
        return Result::NothingToInstall;
    }

    QStringList files;
    const QDir ready(paths.ready);
    QDirIterator it(paths.ready, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << ready.relativeFilePath(it.next());
    std::sort(files.begin(), files.end());

    QDir(paths.backup).removeRecursively();
    QFile journal(paths.journal);
    if (!QDir().mkpath(paths.backup) || !journal.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *log << QStringLiteral("cannot prepare the backup in %1").arg(paths.client);
        QDir(paths.backup).removeRecursively();
        return Result::RolledBack;
    }

    auto fail = [&](const QString &why) {
        *log << why;
        journal.close();
        rollBack(paths, log);
        return Result::RolledBack;
    };

    for (const QString &relative : std::as_const(files)) {
        const QString target = paths.program + QLatin1Char('/') + relative;
        const QString source = paths.ready + QLatin1Char('/') + relative;

        // Folders the new file needs.
        const QStringList parts = relative.split(QLatin1Char('/'));
        QString folder = paths.program;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            folder += QLatin1Char('/') + parts.at(i);
            const QFileInfo info(folder);
            if (info.isDir())
                continue;
            if (info.exists() || info.isSymLink())
                return fail(
                    QStringLiteral("cannot replace %1: %2 is not a folder").arg(relative, folder));
            const QString folderRelative = parts.mid(0, i + 1).join(QLatin1Char('/'));
            if (!record(journal, 'D', folderRelative) || !QDir().mkdir(folder))
                return fail(QStringLiteral("cannot create folder %1").arg(folder));
        }

        const QFileInfo existing(target);
        if (existing.isDir() && !existing.isSymLink())
            return fail(QStringLiteral("cannot replace %1: it is a folder").arg(relative));
        if (existing.exists() || existing.isSymLink()) {
            const QString saved = paths.backup + QLatin1Char('/') + relative;
            QDir().mkpath(QFileInfo(saved).absolutePath());
            if (!record(journal, 'B', relative) || !QFile::rename(target, saved))
                return fail(QStringLiteral("cannot back up %1").arg(relative));
        } else if (!record(journal, 'N', relative)) {
            return fail(QStringLiteral("cannot write the journal"));
        }

        if (!QFile::copy(source, target))
            return fail(QStringLiteral("cannot copy %1").arg(relative));
        QFile::setPermissions(target, QFileInfo(source).permissions());
        *log << QStringLiteral("replaced %1").arg(relative);
    }

    journal.close();
    QFile::remove(paths.journal);
    QDir(paths.backup).removeRecursively();
    QDir(paths.ready).removeRecursively();
    *log << QStringLiteral("installed %1 files").arg(files.size());
    return Result::Installed;
}

bool startProgram(const QString &programFolder, const QString &program)
{
    const QString folder = QDir::cleanPath(QDir(programFolder).absolutePath());
    return QProcess::startDetached(folder + QLatin1Char('/') + program, {}, folder);
}

} // namespace kelv::updater
