#pragma once

// Folder removal and program starts through the system's shell, as the update
// installation uses them.

#include <string>
#include <vector>

namespace kelv::platform {

// Deletes the folder with everything in it; true when it is gone afterwards
// (also when it did not exist). Paths are UTF-8.
// Windows: the shell's file operation (SHFileOperationW: delete, no
// confirmation, no error display, silent) on the path in native separators;
// a path that does not fit the shell's 8191-byte buffer is refused.
// Linux: the tree is removed file by file; symbolic links are removed, never
// followed.
bool deleteFolderTree(const std::string &folder);

struct ShellStartResult
{
    bool started = false;
    long code = 0; // Windows: ShellExecuteW's result (> 32 on success); Linux: errno
};

// Starts program detached with the arguments, in workingFolder (when not
// empty), shown normally. Each argument arrives as it was given (Windows:
// quoted for the C runtime's command-line parsing). elevated: Windows asks
// for administrator rights (the verb "runas"); Linux has no such request and
// starts it as it is.
ShellStartResult shellStart(const std::string &program, const std::vector<std::string> &arguments,
                            const std::string &workingFolder, bool elevated);

inline ShellStartResult shellStart(const std::string &program, const std::string &argument,
                                   const std::string &workingFolder, bool elevated)
{
    return shellStart(program, std::vector<std::string>{argument}, workingFolder, elevated);
}

} // namespace kelv::platform
