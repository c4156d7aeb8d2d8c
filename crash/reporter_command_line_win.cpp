#include "crash/reporter_command_line.h"

#include <windows.h>

namespace kelv::crash {

// Windows has no execute bit: any existing file that is not a folder counts,
// as CreateProcessW takes it (it then checks the file's format itself).
bool isExecutableFile(const char *path)
{
    if (!path || !*path)
        return false;
    // UTF-8, as every path the crash handler keeps.
    wchar_t wide[ParsedCommandLine::kTextSize];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, int(ParsedCommandLine::kTextSize)) == 0)
        return false;
    const DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace kelv::crash
