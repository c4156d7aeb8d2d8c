#pragma once

// The daemon state of the ratbagd service, on the job thread: the bus connection's life,
// whether ratbagd is there, runs, lets kelv in and speaks a known API (the service state,
// property 65, doc/device-map.md), the list of its mice kept in step with its Devices, and
// what it signals: Resync, and the active profile and resolution, which become data reports.

#include "libdc/backend.h"
#include "libdc/job_thread_linux.h"
#include "libdc/ratbag/ratbag_bus.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace kelv::ratbag {

class Listing;
class SlotStore;
class Transactions;
struct Mouse;

// What the daemon signalled, taken from the bus and kept until it is handled.
class Notices
{
public:
    explicit Notices(Bus &bus) : m_bus(bus) {}

    // Reads what the connection has and keeps the signals that came (nothing when the
    // connection broke: the loop finds that out).
    void collect();
    // Where the signals that come from now on start, for resyncSince().
    size_t mark() const { return m_backlog.size(); }
    // Whether the daemon signalled Resync for the device since mark.
    bool resyncSince(size_t mark, const std::string &devicePath) const;
    // Whether IsDirty of one of these profiles changed since mark (API 2 signals so when a
    // commit's write has ended).
    bool dirtySince(size_t mark, const std::vector<std::string> &profilePaths) const;
    std::vector<Notice> take();
    void clear() { m_backlog.clear(); }

private:
    Bus &m_bus;
    std::deque<Notice> m_backlog;
};

// The pauses of the service (reconnect, retries, restarts) divided by
// $KELV_RATBAG_PAUSE_DIVISOR (an integer, default 1): the suites make them short.
std::chrono::milliseconds pause(std::chrono::milliseconds full);

class Daemon
{
public:
    Daemon(Bus &bus, Notices &notices, Listing &listing, Transactions &transactions,
           const SlotStore &slots, dc::JobThread &jobs, dc::Outbox &outbox);
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // The job thread's body: until the thread stops.
    void run();
    // Any thread: the user asks to start the daemon again (after kelv gave up starting one
    // that kept failing).
    void askToStart();

private:
    using Clock = std::chrono::steady_clock;

    void connect();
    void lostBus();
    void handleNotices();
    void refreshDaemon();
    void daemonGone();
    void enumerate();
    void readNewDevice(const std::string &path, int api);
    void setState(const std::string &state, int api);
    void startIfDue();
    void startFailed();
    void waitForWork();
    void report(const Mouse &m, uint8_t kind, uint8_t a, uint8_t b = 0, uint8_t c = 0);
    void resynced(const std::string &path);
    void stageChanged(const std::string &resolutionPath);
    void profileChanged(const std::string &profilePath);

    Bus &m_bus;
    Notices &m_notices;
    Listing &m_listing;
    Transactions &m_transactions;
    const SlotStore &m_slots;
    dc::JobThread &m_jobs;
    dc::Outbox &m_outbox;
    std::string m_state;
    int m_api = 0;
    Clock::time_point m_nextConnect;
    Clock::time_point m_retryAt;
    Clock::time_point m_unreadableAt; // the next look at a mouse that could not be read
    // Starting the daemon: whether the bus can, since when it runs, the failed starts in a
    // row, and whether kelv gave up until the user asks.
    bool m_canStart = false;
    bool m_seenRunning = false;
    Clock::time_point m_runningSince;
    Clock::time_point m_nextStart;
    Clock::time_point m_lastStartAt;
    int m_startFailures = 0;
    bool m_startPending = false;
    std::atomic<bool> m_startAsked{false};
};

} // namespace kelv::ratbag
