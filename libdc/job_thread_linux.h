#pragma once

// The job thread of a backend that talks to a daemon (the ratbagd service): the one thread
// that owns the connection. It runs the backend's loop, and carries out the requests of
// other threads one after the other: perform() hands a request over and waits for its
// result. While there is nothing to do the thread sleeps in wait(), on the connection's
// file descriptor too.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace kelv::dc {

class JobThread
{
public:
    JobThread() = default;
    ~JobThread();
    JobThread(const JobThread &) = delete;
    JobThread &operator=(const JobThread &) = delete;

    // Starts the thread with body (the loop) once: later calls, and calls after stop(), do
    // nothing.
    void start(std::function<void()> body);
    // Makes stopping() true, wakes the thread and waits for body to return; requests still
    // waiting then fail with DC_NOT_PRESENT.
    void stop();
    bool stopping() const;

    // Any thread: runs work on the thread and returns its result (on the thread itself at
    // once). Without the thread, or while it stops: DC_NOT_PRESENT.
    int32_t perform(std::function<int32_t()> work);

    // --- the thread -----------------------------------------------------------------------
    // Any thread: makes the thread look at its loop again soon (a flag the loop reads).
    void wake();

    // --- the thread -----------------------------------------------------------------------
    // Carries out the requests that wait, in the order they came.
    void runJobs();
    // Returns when a request waits, stop() was asked, fd (-1: none) has one of events, or
    // timeoutMs passed.
    void wait(int fd, short events, int timeoutMs);

private:
    struct Job;
    void failPendingJobs();

    mutable std::mutex m_mutex;
    // Guarded by m_mutex:
    bool m_stopping = false;
    std::deque<std::shared_ptr<Job>> m_jobs;

    std::thread m_thread;
    int m_wake = -1; // eventfd
};

} // namespace kelv::dc
