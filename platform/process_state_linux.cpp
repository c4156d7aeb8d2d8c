#include "platform/process_state.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/types.h>

namespace kelv::platform {

bool processIsRunning(std::uint64_t pid)
{
    if (pid == 0 || pid > std::uint64_t(INT32_MAX))
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    // A zombie has ended; only its parent has not collected it yet.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string line((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z')
        return false;
    return true;
}

} // namespace kelv::platform
