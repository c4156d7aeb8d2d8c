#include "platform/memory_release.h"

#include <windows.h>

namespace kelv::platform {

void releaseFreeMemory()
{
    HeapCompact(GetProcessHeap(), 0);
    // The pages the working set no longer needs go back to the system.
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
}

} // namespace kelv::platform
