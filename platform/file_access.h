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

} // namespace kelv::platform
