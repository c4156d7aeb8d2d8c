#pragma once

// Installing a client package over the program folder. Shared by the Updater,
// which does the work once the program has ended, and by the program's
// start-up check, which finishes or rolls back an install that was cut off.
// Qt Core only: the Updater compiles this file too.
//
// Everything lives in tupdates/client/ of the program folder:
//   ready/           the unpacked package (the package reader's hand-over)
//   pending-version  the package's version, written when it became ready
//   update.lock      held by the running Updater (QLockFile)
//   update.journal   one line per step, written before the step is taken
//   backup/          every replaced file, moved here before it is replaced
//   health.pending   every file is in place; the new program has not yet
//                    reported that it started (holds the new version)
//   health.started   the new program reported (it renamed health.pending)
//   health.failed    the Updater gave up waiting (it renamed health.pending)
//   rollback.txt     what the user is told on the next start after a roll-back
//   install-at-start the user chose Exit: the next start hands ready/ to the
//                    Updater, which installs it and keeps it only once the new
//                    program has been seen to start
//
// Nothing is written or removed through a folder link that leads out of the
// program folder.
//
// The report and the Updater's time-out both rename health.pending: only one
// of the two can succeed, so a program that reports at the last moment is
// never rolled back, and a rolled-back update never records its version.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

class QLockFile;

namespace kelv::install {

// How long the Updater waits for the new program to report that it started.
inline constexpr int kHealthTimeoutMs = 30000;

struct InstallPaths
{
    explicit InstallPaths(const QString &programFolder);
    QString program; // absolute, clean, no trailing slash
    QString client;
    QString ready;
    QString backup;
    QString journal;
    QString lock;
    QString pendingVersion;
    QString healthPending;
    QString healthStarted;
    QString healthFailed;
    QString notice;
    QString installAtStart;
};

enum class Phase {
    Idle,      // no install under way
    Copying,   // the journal exists but not every file is in place yet
    Installed, // every file is in place; the new program has not reported
    Started,   // the new program reported that it started
    Failed,    // the health check failed; the roll-back has not finished
};
Phase phaseOf(const InstallPaths &paths);

// The install lock (stale when its holder died; never stale by age).
std::unique_ptr<QLockFile> installLock(const InstallPaths &paths);

// A relative path an installer may act on (the rule for the journal, for the
// Updater's files and for the stored names of packages): not empty, not
// absolute, no drive, no backslash, no empty, "." or ".." component, no
// control characters.
bool isSafeRelativePath(const QString &relative);

// True when path's folder, with every link resolved, lies inside the program
// folder.
bool isInsideProgram(const InstallPaths &paths, const QString &path);

// Journal lines: a kind letter (D folder created, B file backed up, N new
// file), a space and the path percent-encoded, so no file name can forge a
// line of its own.
struct JournalEntry
{
    char kind = 0;
    QString relative;
};
QByteArray journalLine(char kind, const QString &relative);
// Lines that do not parse or name an unsafe path are refused: left out, with a
// line in log.
QList<JournalEntry> parseJournal(const QByteArray &text, QStringList *log);

enum class CopyResult {
    Installed,        // every file of ready/ is in place (phase Installed)
    NothingToInstall, // no ready folder
    RolledBack,       // a file could not be put in place; the old files are back
};

// Backs up and replaces every file of ready/ (journalled step by step), then
// writes health.pending with the pending version and removes ready/. On a
// failure everything is rolled back and *reason says why.
CopyResult installReadyFiles(const InstallPaths &paths, QStringList *log, QString *reason);

// Undoes the journal's steps in reverse order and removes the journal, the
// backup and the health files. Safe to run again after it was cut off.
void rollBack(const InstallPaths &paths, QStringList *log);

// The new version is in: removes the backup, the journal, the health files.
void commit(const InstallPaths &paths, QStringList *log);

// Program side of the health check: renames health.pending to
// health.started. True when this report counted; *version is the version the
// install brings (may be empty).
bool reportStarted(const InstallPaths &paths, QString *version);
// Updater side: renames health.pending to health.failed. False when the
// program reported first.
bool claimFailure(const InstallPaths &paths);

// The version of the package in ready/ (written by the program when the
// package became ready).
bool writePendingVersion(const InstallPaths &paths, const QString &version);
QString readPendingVersion(const InstallPaths &paths);

// After Exit: the ready package is installed on the next start. take...()
// answers whether it was scheduled and clears it (only one start takes it).
bool scheduleInstallAtStart(const InstallPaths &paths);
bool takeInstallAtStart(const InstallPaths &paths);

// The roll-back notice shown on the next start; takeNotice() reads and removes
// it (empty when there is none).
bool writeNotice(const InstallPaths &paths, const QString &text);
QString takeNotice(const InstallPaths &paths);

} // namespace kelv::install
