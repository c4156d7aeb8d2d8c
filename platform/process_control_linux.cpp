#include "platform/process_control.h"

#include <csignal>
#include <sys/types.h>

namespace kelv::platform {

bool endProcess(long long pid, bool force)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), force ? SIGKILL : SIGTERM) == 0;
}

} // namespace kelv::platform
