#pragma once

// Installing unpacked packages: the page package is copied over view/ while
// the program runs; the client package is handed to the separate Updater,
// which the program starts after it has shut down.

#include <QString>

namespace kelv {

// Installs working folder + "tupdates/html/ready" as a whole: the new page is
// put together in "view.new" beside "view/" (the package's files, then the
// current page's other files) and swapped in by renaming, so a failed or
// cancelled install keeps the old page and never leaves a mix. Each step is
// tried 30 times 100 ms apart, then a retry/cancel message box (dialog seam)
// names the file. The page package is removed afterwards. The source is taken
// from the working folder, the same folder the downloader writes to. Without a
// page package it copies nothing and returns true.
bool installPagePackage();

// The version of the installed page: the one recorded by the last page
// package (Resources/page-version) or, when the client version is newer (a
// client release brings its page), clientVersion.
QString installedPageVersion(const QString &clientVersion);
// Records the version of a page package that was installed.
bool recordPageVersion(const QString &version);

// At start-up: a page install cut off between its two renames leaves no
// "view/" but "view.old", which is put back; leftovers are removed.
void recoverPageInstall();

// Makes a new Updater from the client package current before exit. False when
// there is no ready client package or the updater could not be put in place.
bool prepareUpdater();

// Starts the Updater detached in the working folder with
// "-update -wait <this process> [-restart] [-autostart]"
// (platform/updater_command.h); it
// waits for this process to end before it touches the program folder, and
// installs only with -restart (restartAfterUpdate()). False when it could not
// be started. (Declared in update_check.h as well.)
bool launchUpdater();

// What happens to a ready client package when the program has shut down:
// after "Restart Now" the Updater installs it, starts the new version and
// keeps it once it has been seen to start; after Exit it is installed on the
// next start (install::scheduleInstallAtStart), the same way.
bool finishClientUpdateAtExit();

// Set when the user chose to restart for the update (not after Exit).
bool restartAfterUpdate();
void setRestartAfterUpdate(bool restart);

// Set when the program the Updater starts is to start in the tray
// ("-autostart"): the start that hands an update deferred at Exit over was a
// login item's, and the new version keeps to it.
bool updaterStartsInTray();
void setUpdaterStartsInTray(bool inTray);

// Remembers the version of the client package that became ready. It goes into
// conf.xml only once the new program has started and passed the Updater's
// health check.
bool recordPendingClientVersion(const QString &version);

// Set when the executable folder refused the new Updater (access denied):
// launchUpdater() then starts the one in the ready folder, elevated where the
// platform has such a thing.
bool updaterElevated();
void setUpdaterElevated(bool elevated);

// Name of the Updater executable in a folder ("Updater" plus the platform's
// executable suffix).
QString updaterFileName();

// Copies one file over another so that the destination is always either the
// old or the new file. A destination without write permission is not
// replaced, on every platform (as a read-only file refuses a copy on Windows).
bool copyFileOver(const QString &source, const QString &destination);

} // namespace kelv
