#pragma once

#include <QString>

namespace kelv {

// Routes Qt's messages of information level and above into the program's log
// file (written by every module under its logging category's name) and to
// standard error. Debug messages go to standard error only. Thread-safe.
// Returns false when the file cannot be opened; standard error is used then.
bool installLogFile(const QString &path);

// Routes Qt's messages as installLogFile() does before the file's place is
// known (it depends on the program folder, which needs the application
// object): the lines are kept in memory, up to a few hundred, and written at
// the start of the file once installLogFile() names it.
void holdLogLines();

// The file is rotated once it reaches this size: it becomes "<path>.1"
// (replacing an older one) and a new file starts.
constexpr qint64 kLogRotateBytes = 10 * 1024 * 1024;
// Tests rotate at a smaller size; 0 restores kLogRotateBytes.
void setLogRotateSize(qint64 bytes);

// Stops writing to the file and restores Qt's default handler.
void removeLogFile();

// One log line as written to the file, without the line end:
// "[MMDD/hhmmss.zzz:INFO:cefapplication] mainwindow show!".
QString formatLogLine(QtMsgType type, const char *category, const QString &message);

} // namespace kelv
