#pragma once

// The simulator's lock: the process mutex and the state folder's lock file, taken
// together around every call (simulator_lock.cpp).

#include "libdc/sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace kelv::sim {

// How long a call waits for the state folder's lock before it fails with DC_BUSY. After a
// call has timed out the next ones wait only briefly until the lock is free again, so a
// process stopped while holding the lock costs one long wait, not one per call.
constexpr auto kLockTimeout = std::chrono::milliseconds(2000);
constexpr auto kBusyLockTimeout = std::chrono::milliseconds(100);

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

bool lockFileBefore(int fd, std::chrono::steady_clock::time_point deadline);
void unlockFile(int fd);

// Holds the process mutex and the folder's lock, and brings the cached state up to date.
// Both are waited for until a deadline; a lock that was not taken is not held() and the
// call answers DC_BUSY.
class Simulator::Lock
{
public:
    explicit Lock(Simulator &sim) : m_sim(sim), m_guard(sim.m_mutex, std::defer_lock)
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
    ~Lock()
    {
        if (m_fileLocked)
            unlockFile(m_sim.m_lockFd);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    bool held() const { return m_held; }

private:
    Simulator &m_sim;
    std::unique_lock<std::timed_mutex> m_guard;
    bool m_fileLocked = false;
    bool m_held = false;
};

} // namespace kelv::sim
