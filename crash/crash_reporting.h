#pragma once

#include <QLoggingCategory>
#include <QString>

// Crash reporting set-up for the application object: where dumps go and which
// reporter program is started after a crash. The handler itself is in
// crash_handler.h.
namespace kelv::crash {

Q_DECLARE_LOGGING_CATEGORY(lcCrash)

// Installs the process's crash handler with folder as the dump folder (once per
// process; a later call only changes the folder). Returns false when the folder
// is longer than the handler's buffer or the handler could not be installed.
bool setDumpFolder(const QString &folder);

// The reporter path for a name: an absolute name unchanged; a relative name
// that exists relative to the current directory unchanged; otherwise
// QDir::cleanPath(applicationFolder + "/" + name + executable suffix).
QString resolveReporterPath(const QString &name, const QString &applicationFolder);

// Resolves the name (relative to kelv::applicationFolder(), or the given folder)
// and stores it for the handler. Both relative cases write the debug line
// "BreakpadQt: setReporter: <name> -> <path>". A path too long for the handler's
// buffer is refused with a warning and no reporter is started after a crash.
void setReporter(const QString &name);
void setReporter(const QString &name, const QString &applicationFolder);

// The once-per-process set-up done at the application object's construction:
// install the handler with the application folder as dump folder unless it
// exists already, then set the reporter (normally "CrashReporter").
void setupCrashReporting(const QString &applicationFolder,
                         const QString &reporterName = QStringLiteral("CrashReporter"));

bool isCrashHandlerInstalled();
QString dumpFolder();
QString reporterPath();

} // namespace kelv::crash
