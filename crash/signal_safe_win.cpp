#include "crash/signal_safe.h"

#include <io.h>
#include <windows.h>

namespace kelv::crash {

// The descriptor is the C runtime's; the bytes go straight to its system handle. A negative
// one is refused here: the runtime would call its invalid-parameter handler, which the
// crash handler itself has taken over.
bool writeAll(int fd, const char *data, std::size_t size)
{
    if (fd < 0)
        return false;
    const intptr_t osHandle = _get_osfhandle(fd);
    if (osHandle == -1)
        return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

} // namespace kelv::crash
