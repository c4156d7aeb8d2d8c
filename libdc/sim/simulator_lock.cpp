#include "libdc/sim/simulator_lock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#ifndef _WIN32
#include <sys/file.h>
#endif
#include <thread>

namespace kelv::sim {
namespace {

// How long a call waits for the state folder's lock before it fails with DC_BUSY. After a
// call has timed out the next ones wait only briefly until the lock is free again, so a
// process stopped while holding the lock costs one long wait, not one per call.
constexpr auto kLockTimeout = std::chrono::milliseconds(2000);
constexpr auto kBusyLockTimeout = std::chrono::milliseconds(100);

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

void unlockFile(int fd)
{
    ::flock(fd, LOCK_UN);
}

// Takes the lock file before the deadline; polls with short sleeps, so a wait never spins.
// Retries tryLock with a growing pause until it succeeds or the deadline passes.
template <typename TryLock>
bool lockBefore(TryLock tryLock, std::chrono::steady_clock::time_point deadline)
{
    auto pause = std::chrono::microseconds(200);
    while (!tryLock()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
    }
    return true;
}

bool lockFileBefore(int fd, std::chrono::steady_clock::time_point deadline)
{
    return lockBefore([fd] { return tryLockFile(fd); }, deadline);
}

} // namespace

Simulator::Lock::Lock(Simulator &sim) : m_sim(sim), m_guard(sim.m_mutex, std::defer_lock)
{
    const auto deadline = std::chrono::steady_clock::now() +
                          (m_sim.m_lockBusy.load() ? kBusyLockTimeout : kLockTimeout);
    // Polled with try_lock: timed_mutex::try_lock_until waits in
    // pthread_mutex_clocklock, which this toolchain's ThreadSanitizer does not
    // see, so it would take every contended wait for a race.
    if (!lockBefore([this] { return m_guard.try_lock(); }, deadline)) {
        // Another thread of this process is still waiting for the folder.
        m_sim.m_lockBusy = true;
        return;
    }
    if (m_sim.m_lockFd >= 0 && !lockFileBefore(m_sim.m_lockFd, deadline)) {
        m_guard.unlock();
        m_sim.m_lockBusy = true;
        return;
    }
    m_sim.m_lockBusy = false;
    m_fileLocked = m_sim.m_lockFd >= 0;
    m_held = true;
    m_sim.refreshLocked();
}

Simulator::Lock::~Lock()
{
    if (m_fileLocked)
        unlockFile(m_sim.m_lockFd);
}

} // namespace kelv::sim
