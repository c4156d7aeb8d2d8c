#pragma once

#include <string>

namespace kelv::platform {

// True when the system refuses this user the creation of files in the folder
// (access denied), as opposed to a folder that is missing or otherwise
// unusable. The path is UTF-8.
// Linux: access(W_OK) failing with EACCES (or EROFS, EPERM: a read-only
// mount, an immutable folder). Windows: creating a file there
// fails with ERROR_ACCESS_DENIED (the folder's access control list decides,
// which the C runtime's access() does not look at).
bool folderDeniesWriting(const std::string &folder);

// Moves a file over another in one step: afterwards `to` is either the old
// file (false: nothing changed) or the new one, never missing. Both paths are
// UTF-8 and on the same volume.
// Linux: rename(2). Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH.
bool replaceFile(const std::string &from, const std::string &to);

// What openRegularFile() found.
enum class RegularOpen { Opened, Missing, NotRegular, Failed };

struct RegularFile
{
    RegularOpen result = RegularOpen::Failed;
    int fd = -1; // a C runtime descriptor when Opened (blocking reads; the caller closes it)
};

// Opens a file for reading only when it is a regular file, judged on what was
// opened rather than on the name beforehand: a named pipe (or a device) put in
// the file's place is opened without waiting for a writer and refused, so the
// caller never blocks on it. The path is UTF-8.
// Linux: open(O_RDONLY | O_NONBLOCK | O_CLOEXEC), fstat() S_ISREG, then the
// descriptor is made blocking again. Windows: CreateFileW, GetFileType()
// FILE_TYPE_DISK and no directory, handed to the C runtime.
RegularFile openRegularFile(const std::string &path);

} // namespace kelv::platform
