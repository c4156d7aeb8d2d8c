#pragma once

// The programs running on this machine, by the full path of their executable.

#include <string>
#include <vector>

namespace kelv::platform {

// Fills *paths with the executable path of every running process whose
// executable can be read (other users' processes and kernel threads are
// skipped; a program running from a file deleted or replaced since it started
// keeps the path it was started from). One entry per process, so a program
// running twice appears twice. Returns false, with *paths empty, when the
// process list itself cannot be read.
// Linux: /proc/<pid>/exe, the bytes the kernel stores. Windows: a Toolhelp32
// snapshot; each image's native name (QueryFullProcessImageNameW) converted to
// its drive-letter path (device_path.h), as UTF-8; processes that cannot be
// opened or whose device has no drive letter are skipped.
bool runningProgramPaths(std::vector<std::string> *paths);

} // namespace kelv::platform
