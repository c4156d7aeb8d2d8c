#include "platform/memory_release.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <sys/mman.h>

namespace kelv::platform {

namespace {

// The code and read-only data of the program's files (its libraries, fonts,
// locale data) that starting the page touched stay resident until the kernel
// runs short of memory. Advise it to page them out now: clean file pages are
// dropped and read again when next used, and pages that other processes map
// as well are left alone by the kernel. Writable mappings are never touched.
void pageOutReadOnlyFileMappings()
{
#ifdef MADV_PAGEOUT
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode >> path;
        if (path.empty() || path[0] != '/' || perms.size() < 2 || perms[1] == 'w')
            continue;
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos)
            continue;
        const std::uintptr_t start = std::strtoull(range.c_str(), nullptr, 16);
        const std::uintptr_t end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
        if (end > start)
            madvise(reinterpret_cast<void *>(start), end - start, MADV_PAGEOUT);
    }
#endif
}

} // namespace

void releaseFreeMemory()
{
    malloc_trim(0);
    pageOutReadOnlyFileMappings();
}

} // namespace kelv::platform
