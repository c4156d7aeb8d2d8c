#pragma once

// The permission bits of installed files. Update packages store no file modes,
// so every installer (the package reader, prepareUpdater, the page install
// and the Updater) decides them by one rule:
//   - a file that replaces an existing file keeps that file's bits;
//   - a new file is executable when it begins like a program (the ELF magic
//     or "#!");
//   - every other new file keeps the default bits it was created with.
// Qt Core only: the Updater compiles this file too.

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <optional>

namespace kelv::install {

// True for content that begins with the ELF magic or with "#!".
bool startsLikeProgram(const QByteArray &head);

// permissions plus the execute bit of every class (owner, group, others) that
// may read.
QFileDevice::Permissions withExecute(QFileDevice::Permissions permissions);

// Sets the bits of a file that has just been written at path: replaced holds
// the bits of the file it took the place of, if there was one. Otherwise the
// file keeps its own (default) bits, plus execute bits when it begins like a
// program. False when the bits could not be set.
bool settleInstalledPermissions(const QString &path,
                                std::optional<QFileDevice::Permissions> replaced);

// The bits of an existing file (also of a dangling symbolic link's target:
// none), or nothing when path does not exist.
std::optional<QFileDevice::Permissions> existingPermissions(const QString &path);

} // namespace kelv::install
