#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace kelv {

// The application folder: the folder of the running executable, forward
// slashes, no trailing slash. Every relative path the program uses (profiles,
// the page, the update folders, the device library) hangs off it.
QString applicationFolder();

// The two folder settings of the update code, both the application folder
// followed by "/" once start-up has run. Tests point them at a temporary folder.
QString workingFolder();
QString executableFolder();
void setWorkingFolder(const QString &folder);
void setExecutableFolder(const QString &folder);

// The address of a file of a program folder: the folder as a file address
// (a '#', '%' or '?' in its path stays part of the path) followed by
// relativeUrl as address text ("/view/index.html?x=1#top").
QUrl programFolderUrl(const QString &folder, const QString &relativeUrl);

// A path as the system's 8-bit calls and lists take it: the file-name encoding
// on Linux, UTF-8 on Windows (where the local 8-bit encoding is the ANSI code
// page, which cannot name every file).
QByteArray nativePathBytes(const QString &path);
QString pathFromNativeBytes(const char *path);

// The platform's executable suffix ("" on Linux, ".exe" on Windows).
QString executableSuffix();

} // namespace kelv
