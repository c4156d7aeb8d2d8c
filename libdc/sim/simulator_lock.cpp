#include "libdc/sim/simulator_lock.h"

#include <cerrno>
#ifndef _WIN32
#include <sys/file.h>
#endif

namespace kelv::sim {

namespace {

// The one operating-system call of the lock: takes the lock file without waiting (flock;
// on Windows the LockFileEx form of sim_files_win.cpp, with LOCKFILE_FAIL_IMMEDIATELY).
bool tryLockFile(int fd)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

void unlockFile(int fd)
{
    ::flock(fd, LOCK_UN);
}

bool lockFileBefore(int fd, std::chrono::steady_clock::time_point deadline)
{
    return lockBefore([fd] { return tryLockFile(fd); }, deadline);
}

} // namespace kelv::sim
