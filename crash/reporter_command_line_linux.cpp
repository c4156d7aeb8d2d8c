#include "crash/reporter_command_line.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kelv::crash {

bool isExecutableFile(const char *path)
{
    struct stat info;
    if (!path || !*path || ::stat(path, &info) != 0)
        return false;
    return S_ISREG(info.st_mode) && ::access(path, X_OK) == 0;
}

} // namespace kelv::crash
