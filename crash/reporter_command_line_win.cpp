#include "crash/reporter_command_line.h"

#include <windows.h>

namespace kelv::crash {

// Windows has no execute bit: any existing file that is not a folder counts,
// as CreateProcessW takes it (it then checks the file's format itself).
bool isExecutableFile(const char *path)
{
    if (!path || !*path)
        return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace kelv::crash
