#include "platform/file_access.h"

#include <cerrno>
#include <unistd.h>

namespace kelv::platform {

bool folderDeniesWriting(const std::string &folder)
{
    if (::access(folder.c_str(), W_OK) == 0)
        return false;
    // A read-only mount refuses as surely as the folder's permissions do.
    return errno == EACCES || errno == EROFS || errno == EPERM;
}

} // namespace kelv::platform
