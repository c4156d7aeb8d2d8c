#include "platform/file_access.h"

#include <cerrno>
#include <unistd.h>

namespace kelv::platform {

bool folderDeniesWriting(const std::string &folder)
{
    return ::access(folder.c_str(), W_OK) != 0 && errno == EACCES;
}

} // namespace kelv::platform
