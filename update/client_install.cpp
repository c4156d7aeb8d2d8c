#include "update/client_install.h"

#include "update/file_modes.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>

namespace kelv::install {
namespace {

constexpr qint64 kNoticeLimit = 4096;

// Flushed before the commit: commit() renames the temporary file into place
// even when its own flush fails (a full disk), leaving an empty or cut file.
bool writeWhole(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush() &&
           file.commit();
}

bool record(QFile &journal, char kind, const QString &relative)
{
    const QByteArray line = journalLine(kind, relative);
    return journal.write(line) == line.size() && journal.flush();
}

// Copies source to a new file at target (which must not exist) and gives it
// the bits of the file it replaces, or the bits of a new file.
bool copyInstalledFile(const QString &source, const QString &target,
                       std::optional<QFileDevice::Permissions> replaced)
{
    QFile input(source);
    QFile output(target);
    if (!input.open(QIODevice::ReadOnly) || !output.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    constexpr qint64 kChunk = 1 << 20;
    while (!input.atEnd()) {
        const QByteArray chunk = input.read(kChunk);
        if (chunk.isEmpty() && input.error() != QFileDevice::NoError)
            return false;
        if (output.write(chunk) != chunk.size())
            return false;
    }
    if (!output.flush())
        return false;
    output.close();
    return settleInstalledPermissions(target, replaced);
}

void removeHealthFiles(const InstallPaths &paths)
{
    for (const QString &file : {paths.healthPending, paths.healthStarted, paths.healthFailed})
        QFile::remove(file);
}

QStringList readyFiles(const InstallPaths &paths)
{
    QStringList files;
    const QDir ready(paths.ready);
    QDirIterator it(paths.ready, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << ready.relativeFilePath(it.next());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

InstallPaths::InstallPaths(const QString &programFolder)
    : program(QDir::cleanPath(QDir(programFolder).absolutePath())),
      client(program + QStringLiteral("/tupdates/client")),
      ready(client + QStringLiteral("/ready")), backup(client + QStringLiteral("/backup")),
      journal(client + QStringLiteral("/update.journal")),
      lock(client + QStringLiteral("/update.lock")),
      pendingVersion(client + QStringLiteral("/pending-version")),
      healthPending(client + QStringLiteral("/health.pending")),
      healthStarted(client + QStringLiteral("/health.started")),
      healthFailed(client + QStringLiteral("/health.failed")),
      notice(client + QStringLiteral("/rollback.txt")),
      installAtStart(client + QStringLiteral("/install-at-start"))
{
}

Phase phaseOf(const InstallPaths &paths)
{
    if (QFileInfo::exists(paths.healthFailed))
        return Phase::Failed;
    if (QFileInfo::exists(paths.healthStarted))
        return Phase::Started;
    if (QFileInfo::exists(paths.healthPending))
        return Phase::Installed;
    if (QFileInfo::exists(paths.journal))
        return Phase::Copying;
    return Phase::Idle;
}

std::unique_ptr<QLockFile> installLock(const InstallPaths &paths)
{
    QDir().mkpath(paths.client);
    auto lock = std::make_unique<QLockFile>(paths.lock);
    // Only a dead holder makes the lock stale: an install may take long.
    lock->setStaleLockTime(0);
    return lock;
}

bool isSafeRelativePath(const QString &relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')) ||
        relative.contains(QLatin1Char('\\')) ||
        (relative.size() >= 2 && relative.at(1) == QLatin1Char(':')))
        return false;
    if (std::any_of(relative.cbegin(), relative.cend(),
                    [](QChar c) { return c.category() == QChar::Other_Control; }))
        return false;
    // What Windows makes of a name must be the name itself on every system:
    // "CON", "nul.txt" or "COM1" open a device there, "a:b" a stream of the
    // file a, and "name." or "name " is stored as "name".
    static const QRegularExpression windowsDevice(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[0-9\\x{B9}\\x{B2}\\x{B3}]|"
                       "LPT[0-9\\x{B9}\\x{B2}\\x{B3}]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    if (relative.contains(QLatin1Char(':')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    return std::none_of(parts.cbegin(), parts.cend(), [](const QString &part) {
        return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") ||
               part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')) ||
               windowsDevice.match(part).hasMatch();
    });
}

bool isInsideProgram(const InstallPaths &paths, const QString &path)
{
    const QString program = QFileInfo(paths.program).canonicalFilePath();
    const QString folder = QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath();
    return !program.isEmpty() && !folder.isEmpty() &&
           (folder == program || folder.startsWith(program + QLatin1Char('/')));
}

QByteArray journalLine(char kind, const QString &relative)
{
    return QByteArray(1, kind) + ' ' + relative.toUtf8().toPercentEncoding("/") + '\n';
}

QList<JournalEntry> parseJournal(const QByteArray &text, QStringList *log)
{
    QList<JournalEntry> entries;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const char kind = line.at(0);
        const bool known = kind == 'D' || kind == 'B' || kind == 'N';
        const QByteArray encoded = line.mid(2);
        // Every byte of a written line is printable ASCII: anything else was
        // not written by journalLine().
        const bool printable = std::all_of(encoded.cbegin(), encoded.cend(),
                                           [](char c) { return c > 0x20 && c < 0x7f; });
        const QString relative = QString::fromUtf8(QByteArray::fromPercentEncoding(encoded));
        if (!known || line.size() < 3 || line.at(1) != ' ' || !printable ||
            !isSafeRelativePath(relative)) {
            *log << QStringLiteral("journal: refused the line '%1'")
                        .arg(QString::fromLatin1(line.toPercentEncoding(" /")));
            continue;
        }
        entries.append({kind, relative});
    }
    return entries;
}

CopyResult installReadyFiles(const InstallPaths &paths, QStringList *log, QString *reason)
{
    if (!QFileInfo(paths.ready).isDir()) {
        *log << QStringLiteral("nothing to install: %1 does not exist").arg(paths.ready);
        return CopyResult::NothingToInstall;
    }
    const QStringList files = readyFiles(paths);
    for (const QString &relative : files) {
        if (!isSafeRelativePath(relative)) {
            *reason = QStringLiteral("the package holds an unusable file name");
            *log << *reason;
            return CopyResult::RolledBack;
        }
    }

    QDir(paths.backup).removeRecursively();
    removeHealthFiles(paths);
    QFile journal(paths.journal);
    if (!QDir().mkpath(paths.backup) || !journal.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *reason = QStringLiteral("the backup folder %1 cannot be prepared").arg(paths.backup);
        *log << *reason;
        QDir(paths.backup).removeRecursively();
        return CopyResult::RolledBack;
    }

    auto fail = [&](const QString &why) {
        *reason = why;
        *log << why;
        journal.close();
        rollBack(paths, log);
        return CopyResult::RolledBack;
    };

    for (const QString &relative : files) {
        const QString target = paths.program + QLatin1Char('/') + relative;
        const QString source = paths.ready + QLatin1Char('/') + relative;

        // Folders the new file needs.
        const QStringList parts = relative.split(QLatin1Char('/'));
        QString folder = paths.program;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            folder += QLatin1Char('/') + parts.at(i);
            const QFileInfo info(folder);
            // A folder link may stay inside the program folder; one that leads
            // out of it is never written through.
            if (info.isSymLink() && !isInsideProgram(paths, folder + QStringLiteral("/x")))
                return fail(QStringLiteral("%1 cannot be replaced: %2 leads out of the program "
                                           "folder")
                                .arg(relative, folder));
            if (info.isDir())
                continue;
            if (info.exists() || info.isSymLink())
                return fail(QStringLiteral("%1 cannot be replaced: %2 is not a folder")
                                .arg(relative, folder));
            const QString folderRelative = parts.mid(0, i + 1).join(QLatin1Char('/'));
            if (!record(journal, 'D', folderRelative) || !QDir().mkdir(folder))
                return fail(QStringLiteral("the folder %1 cannot be created").arg(folder));
        }

        if (!isInsideProgram(paths, target))
            return fail(QStringLiteral("%1 cannot be replaced: its folder leads out of the "
                                       "program folder")
                            .arg(relative));
        const QFileInfo existing(target);
        std::optional<QFileDevice::Permissions> replaced;
        if (existing.isDir() && !existing.isSymLink())
            return fail(QStringLiteral("%1 cannot be replaced: it is a folder").arg(relative));
        if (existing.exists() || existing.isSymLink()) {
            replaced = existingPermissions(target);
            const QString saved = paths.backup + QLatin1Char('/') + relative;
            QDir().mkpath(QFileInfo(saved).absolutePath());
            if (!isInsideProgram(paths, saved) || !record(journal, 'B', relative) ||
                !QFile::rename(target, saved))
                return fail(QStringLiteral("%1 cannot be backed up").arg(relative));
        } else if (!record(journal, 'N', relative)) {
            return fail(QStringLiteral("the journal cannot be written"));
        }

        if (!copyInstalledFile(source, target, replaced))
            return fail(QStringLiteral("%1 cannot be written").arg(relative));
        *log << QStringLiteral("replaced %1").arg(relative);
    }
    journal.close();

    // Every file is in place: from here on the new program decides.
    if (!writeWhole(paths.healthPending, readPendingVersion(paths).toUtf8()))
        return fail(QStringLiteral("%1 cannot be written").arg(paths.healthPending));
    QDir(paths.ready).removeRecursively();
    QFile::remove(paths.pendingVersion);
    *log << QStringLiteral("installed %1 files").arg(files.size());
    return CopyResult::Installed;
}

void rollBack(const InstallPaths &paths, QStringList *log)
{
    QList<JournalEntry> entries;
    QFile journal(paths.journal);
    if (journal.open(QIODevice::ReadOnly)) {
        entries = parseJournal(journal.readAll(), log);
        journal.close();
    }
    std::reverse(entries.begin(), entries.end());
    int restored = 0;
    int removed = 0;
    for (const JournalEntry &entry : std::as_const(entries)) {
        const QString target = paths.program + QLatin1Char('/') + entry.relative;
        if (!isInsideProgram(paths, target)) {
            *log << QStringLiteral("rollback: %1 lies outside the program folder; left alone")
                        .arg(entry.relative);
            continue;
        }
        if (entry.kind == 'N') {
            removed += QFile::remove(target) ? 1 : 0;
        } else if (entry.kind == 'B') {
            const QString saved = paths.backup + QLatin1Char('/') + entry.relative;
            if (QFileInfo::exists(saved) || QFileInfo(saved).isSymLink()) {
                QFile::remove(target);
                if (QFile::rename(saved, target))
                    ++restored;
                else
                    *log << QStringLiteral("rollback: could not restore %1").arg(entry.relative);
            }
        } else if (entry.kind == 'D') {
            QDir().rmdir(target);
        }
    }
    *log << QStringLiteral("rollback: restored %1 files, removed %2 new files")
                .arg(restored)
                .arg(removed);
    QFile::remove(paths.journal);
    QDir(paths.backup).removeRecursively();
    // The health files go last: while one is left the next run knows where it
    // stands.
    removeHealthFiles(paths);
}

void commit(const InstallPaths &paths, QStringList *log)
{
    QDir(paths.backup).removeRecursively();
    QDir(paths.ready).removeRecursively();
    QFile::remove(paths.pendingVersion);
    QFile::remove(paths.journal);
    removeHealthFiles(paths);
    *log << QStringLiteral("the new version started: update complete");
}

bool reportStarted(const InstallPaths &paths, QString *version)
{
    QFile pending(paths.healthPending);
    if (!pending.open(QIODevice::ReadOnly))
        return false;
    const QString stated = QString::fromUtf8(pending.read(256)).trimmed();
    pending.close();
    if (!QFile::rename(paths.healthPending, paths.healthStarted))
        return false;
    *version = stated;
    return true;
}

bool claimFailure(const InstallPaths &paths)
{
    return QFile::rename(paths.healthPending, paths.healthFailed);
}

bool writePendingVersion(const InstallPaths &paths, const QString &version)
{
    return QDir().mkpath(paths.client) && writeWhole(paths.pendingVersion, version.toUtf8());
}

QString readPendingVersion(const InstallPaths &paths)
{
    QFile file(paths.pendingVersion);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(256)).trimmed();
}

bool scheduleInstallAtStart(const InstallPaths &paths)
{
    return QDir().mkpath(paths.client) && writeWhole(paths.installAtStart, QByteArray());
}

bool takeInstallAtStart(const InstallPaths &paths)
{
    return QFile::remove(paths.installAtStart);
}

bool writeNotice(const InstallPaths &paths, const QString &text)
{
    return QDir().mkpath(paths.client) && writeWhole(paths.notice, text.toUtf8());
}

QString takeNotice(const InstallPaths &paths)
{
    QFile file(paths.notice);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(file.read(kNoticeLimit)).trimmed();
    file.close();
    file.remove();
    return text;
}

} // namespace kelv::install
