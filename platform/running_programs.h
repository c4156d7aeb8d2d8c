#pragma once

// The programs running on this machine, by the full path of their executable.

#include <string>
#include <vector>

namespace kelv::platform {

// Fills *paths with the programs of every running process whose executable
// can be read (other users' processes and kernel threads are skipped; a
// program running from a file deleted or replaced since it started keeps the
// path it was started from). Each process gives its executable's path and, on
// Linux, also the canonical path of
//   - the script an interpreter runs (its first argument that is neither an
//     option nor an option's value: "python3 -u game.py", "sh -o errexit
//     run.sh", a shell script started by its #! line);
//   - the AppImage file it was started from (APPIMAGE in its environment);
//   - the Windows program Wine or Proton runs for it (its command line names
//     the .exe; drive letters are mapped through the Wine prefix).
// A process gives each path at most once; a program running twice appears
// twice. Returns false, with *paths empty, when the process list itself
// cannot be read.
// Linux: /proc/<pid>/exe (the bytes the kernel stores), and for interpreters,
// Wine's processes and programs of an AppImage their cmdline and environ.
// Windows: a Toolhelp32 snapshot; each image's native name
// (QueryFullProcessImageNameW) converted to its drive-letter path
// (device_path.h), as UTF-8; processes that cannot be opened or whose device
// has no drive letter are skipped.
bool runningProgramPaths(std::vector<std::string> *paths);

} // namespace kelv::platform
