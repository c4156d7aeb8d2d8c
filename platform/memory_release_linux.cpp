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

// One mapping of /proc/self/smaps: its range, whether it is a file's and may
// not be written, and how much of it is anonymous.
struct Mapping
{
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    bool readOnlyFile = false;
    // Pages copied on a write (relocated data later made read-only): they
    // hold what the file does not, and must stay.
    long anonymousKiB = 0;
};

// Lets the mapping's file pages go: the kernel drops them and reads them again
// when next used. MADV_PAGEOUT reclaims the pages outright, but only of files
// the process owns or may write: the system's libraries belong to root, so
// for every user but root it leaves them all in place. MADV_DONTNEED takes
// them out of this process whoever owns the file (they stay in the page cache,
// the first memory the kernel takes back when it needs some, and come back
// from there without reading the disk). DONTNEED would also drop the copies
// that make a private mapping differ from its file, so a mapping holding any
// is left alone; one that may not be written cannot gain one meanwhile.
void release(const Mapping &mapping)
{
    if (!mapping.readOnlyFile || mapping.anonymousKiB != 0 || mapping.end <= mapping.start)
        return;
    void *const start = reinterpret_cast<void *>(mapping.start);
    const std::size_t length = mapping.end - mapping.start;
#ifdef MADV_PAGEOUT
    madvise(start, length, MADV_PAGEOUT);
#endif
    madvise(start, length, MADV_DONTNEED);
}

// The code and read-only data of the program's files (its libraries, fonts,
// locale data) that starting the page touched stay resident until the kernel
// runs short of memory: they go now. Writable mappings are never touched.
void releaseReadOnlyFileMappings()
{
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    Mapping current;
    while (std::getline(smaps, line)) {
        const std::size_t dash = line.find('-');
        const std::size_t blank = line.find(' ');
        if (dash != std::string::npos && blank != std::string::npos && dash < blank) {
            // A new mapping: "start-end perms offset device inode path".
            release(current);
            std::istringstream fields(line);
            std::string range, perms, offset, device, inode, path;
            fields >> range >> perms >> offset >> device >> inode >> path;
            current = Mapping();
            current.start = std::strtoull(range.c_str(), nullptr, 16);
            current.end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
            current.readOnlyFile = !path.empty() && path[0] == '/' && perms.size() >= 2 &&
                                   perms[0] == 'r' && perms[1] != 'w';
        } else if (line.rfind("Anonymous:", 0) == 0) {
            current.anonymousKiB = std::strtol(line.c_str() + 10, nullptr, 10);
        }
    }
    release(current);
}

} // namespace

void releaseFreeMemory()
{
    malloc_trim(0);
    releaseReadOnlyFileMappings();
}

} // namespace kelv::platform
