#pragma once

// Installing unpacked packages: the page package is copied over view/ while
// the program runs; the client package is handed to the separate Updater,
// which the program starts after it has shut down.

#include <QString>

namespace kelv {

// Name of the environment variable through which launchUpdater() tells the
// Updater which process to wait for.
inline constexpr const char *kUpdaterWaitPidVariable = "KELV_UPDATER_WAIT_PID";

// Copies working folder + "tupdates/html/ready" over working folder + "view/"
// (folders first, then files, each tried 30 times 100 ms apart, then a
// retry/cancel message box through the dialog seam) and removes the page
// package afterwards. The source is taken from the working folder, the same
// folder the downloader writes to (not the process's current directory).
// Without a page package it copies nothing and returns true.
bool installPagePackage();

// Makes a new Updater from the client package current before exit. False when
// there is no ready client package or the updater could not be put in place.
bool prepareUpdater();

// Starts the Updater detached with "-update" in the working folder; it waits
// for this process to end before it touches the program folder.
// (Declared in update_check.h as well.)
void launchUpdater();

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
