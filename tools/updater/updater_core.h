#pragma once

// The Updater's work, as plain functions: wait for the program to end, put the
// files of tupdates/client/ready over the program folder (backup, replace,
// roll back on any failure), start the new program and keep it only when it
// reports that it started. An install is never left unchecked: without
// "-restart" (the user chose Exit) nothing is installed now; the next start
// of the program hands the package back to the Updater.

#include "update/client_install.h"

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace kelv::updater {

struct Options
{
    QString programFolder;
    QString program;      // the program's file name in the folder
    bool restart = false; // start the program after installing (and check it)
    // What the program is started with: "-autostart" when the start that
    // handed the update over was one (it stays in the tray).
    QStringList programArguments;
    qint64 waitPid = 0;   // the program that started the Updater
    int waitTimeoutMs = 60000;
    int healthTimeoutMs = install::kHealthTimeoutMs;
};

enum class Result {
    Installed,        // the new files are in (checked, or waiting for the first start)
    NothingToInstall, // no ready folder and nothing left to finish
    Deferred,         // without restart: left for the next start of the program
    RolledBack,       // the old program is back; the user is told on its next start
    Busy,             // the program did not end, or another Updater holds the lock
};

// Options from the command line (without the program's name):
// "-update -wait <process id> [-restart] [-autostart]". False, with *error,
// for anything else.
bool parseCommandLine(const QStringList &arguments, Options *options, QString *error);

// Waits until the process has ended (or timeoutMs passed); true when it ended.
bool waitForExit(qint64 pid, int timeoutMs);

// The whole run. log receives one line per action.
Result run(const Options &options, QStringList *log);

// Starts programFolder/program detached in programFolder with the arguments;
// *pid receives its id.
bool startProgram(const QString &programFolder, const QString &program,
                  const QStringList &arguments, qint64 *pid = nullptr);

} // namespace kelv::updater
