#pragma once

#include <cstdint>

namespace kelv::platform {

// True while the process with this id runs. A process that has ended but
// whose parent has not collected it yet (a zombie on Linux) counts as ended;
// one that exists but may not be looked at by this user counts as running.
// Linux: kill(pid, 0) and the state in /proc/<pid>/stat. Windows: OpenProcess
// and whether its handle is signalled.
bool processIsRunning(std::uint64_t pid);

} // namespace kelv::platform
