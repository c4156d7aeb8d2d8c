#pragma once

// The Updater's work, as plain functions: wait for the program to end, put the
// files of tupdates/client/ready over the program folder (backup, replace,
// roll back on any failure) and start the program again.

#include <QString>
#include <QStringList>

namespace kelv::updater {

enum class Result {
    Installed,        // every file replaced, ready folder removed
    NothingToInstall, // no ready folder
    RolledBack,       // a file could not be replaced; the old program is back
};

// Waits until the process has ended (or timeoutMs passed); true when it ended.
bool waitForExit(qint64 pid, int timeoutMs);

// Installs programFolder/tupdates/client/ready over programFolder. Every step
// is recorded in tupdates/client/update.journal before it is taken, so an
// interrupted run is rolled back by the next one before anything else. log
// receives one line per action.
Result applyUpdate(const QString &programFolder, QStringList *log);

// Starts programFolder/program detached in programFolder.
bool startProgram(const QString &programFolder, const QString &program);

} // namespace kelv::updater
