#include "platform/process_control.h"

#include <windows.h>

namespace kelv::platform {

bool endProcess(long long pid, bool)
{
    if (pid <= 0)
        return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const BOOL ended = TerminateProcess(process, 1);
    CloseHandle(process);
    return ended != FALSE;
}

} // namespace kelv::platform
