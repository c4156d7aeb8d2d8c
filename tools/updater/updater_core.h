#pragma once

// The Updater's work, as plain functions: wait for the program to end, put the
// files of tupdates/client/ready over the program folder (backup, replace,
// roll back on any failure), and, when the user chose to restart, start the
// new program and keep it only when it reports that it started.

#include "update/client_install.h"

#include <QString>
#include <QStringList>

namespace kelv::updater {

struct Options
{
    QString programFolder;
    QString program;      // the program's file name in the folder
    bool restart = false; // the user chose to restart for the update
    qint64 waitPid = 0;   // the program that started the Updater
    int waitTimeoutMs = 60000;
    int healthTimeoutMs = install::kHealthTimeoutMs;
};

enum class Result {
    Installed,        // the new files are in (checked, or waiting for the first start)
    NothingToInstall, // no ready folder and nothing left to finish
    RolledBack,       // the old program is back; the user is told on its next start
    Busy,             // the program did not end, or another Updater holds the lock
};

// Waits until the process has ended (or timeoutMs passed); true when it ended.
bool waitForExit(qint64 pid, int timeoutMs);

// The whole run. log receives one line per action.
Result run(const Options &options, QStringList *log);

// Starts programFolder/program detached in programFolder; *pid receives its id.
bool startProgram(const QString &programFolder, const QString &program, qint64 *pid = nullptr);

} // namespace kelv::updater
