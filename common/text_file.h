#pragma once

#include <QByteArray>
#include <QString>

class QFile;

namespace kelv {

// Profile and settings files are UTF-8 text with CR LF line ends on disk on
// every platform, so the same files move between Windows and Linux installs.

// Opens path for reading into file only when what it opens is a regular file:
// the check is made on the opened file, not on the name beforehand, so a named
// pipe (or a device) swapped in between is refused without waiting for a
// writer, and the caller (the GUI thread, the monitor) never blocks on it.
bool openRegularFile(QFile *file, const QString &path);

// Reads a whole file as UTF-8: a byte order mark is skipped and CR LF becomes
// LF. Returns false (and leaves text empty) when the file cannot be opened
// or is no regular file (openRegularFile()).
bool readTextFile(const QString &path, QString *text);

// The same for a file that must not exceed maxBytes: a larger file is not
// read at all (TooLarge; text empty), whatever its size. Only a regular file
// is opened, as above.
enum class TextFileRead { Read, NotOpened, TooLarge };
TextFileRead readTextFile(const QString &path, QString *text, qsizetype maxBytes);

// The text of a file's UTF-8 bytes as readTextFile() gives it: a byte order
// mark is skipped and CR LF becomes LF.
QString decodeText(QByteArray bytes);

// Converts LF line ends to CR LF (existing CR LF pairs are kept as they are)
// and encodes as UTF-8 without a byte order mark.
QByteArray encodeTextForDisk(const QString &text);

// Whether a file whose folder takes no new files (no permission to create
// one there) may still be replaced by writing into the file itself, when the
// file may be written. Not atomic, but the only way to save such a file. A
// full disk still leaves the old content whole (the file grows to the new
// size before any old byte is overwritten), where the file system overwrites
// in place (not one that copies on write); a crash in the middle may not.
enum class InPlace { Never, WhenFolderIsClosed };

// Replaces the file's content atomically: the data goes to a temporary file in
// the same folder which is then renamed over the target, so a crash or a full
// disk leaves either the old or the new file, never a truncated one.
bool writeFileAtomically(const QString &path, const QByteArray &data,
                         InPlace inPlace = InPlace::Never);

// writeFileAtomically(path, encodeTextForDisk(text), inPlace).
bool writeTextFile(const QString &path, const QString &text, InPlace inPlace = InPlace::Never);

} // namespace kelv
