#include "platform/process_state.h"

#include <windows.h>

namespace kelv::platform {

bool processIsRunning(std::uint64_t pid)
{
    if (pid == 0 || pid > MAXDWORD)
        return false;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED; // exists, but not ours to look at
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

} // namespace kelv::platform
