#include "platform/process_control.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/types.h>

namespace kelv::platform {

bool processRunning(long long pid)
{
    if (pid <= 0)
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    // A zombie has ended; only its parent has not collected it yet.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", pid);
    std::FILE *stat = std::fopen(path, "r");
    if (!stat)
        return true;
    char line[512] = {};
    const size_t size = std::fread(line, 1, sizeof line - 1, stat);
    std::fclose(stat);
    const char *close = std::strrchr(line, ')');
    if (close && close + 2 < line + size && close[2] == 'Z')
        return false;
    return true;
}

bool endProcess(long long pid, bool force)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), force ? SIGKILL : SIGTERM) == 0;
}

} // namespace kelv::platform
