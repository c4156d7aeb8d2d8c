#pragma once

// The simulator's lock (simulator_lock.cpp): the process mutex and the state folder's lock
// file, taken together around every call, shared by the files that implement the
// simulator's calls.

#include "libdc/sim/simulator.h"

#include <mutex>

namespace kelv::sim {

// Holds the process mutex and the folder's lock, and brings the cached state up to date.
// Both are waited for until a deadline; a lock that was not taken is not held() and the
// call answers DC_BUSY.
class Simulator::Lock
{
public:
    explicit Lock(Simulator &sim);
    ~Lock();
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
