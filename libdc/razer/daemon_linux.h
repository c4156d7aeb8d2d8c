#pragma once

// The daemon side of the OpenRazer service, on the job thread: the bus connection's life,
// whether the daemon is there, runs and lets kelv in (the service state, property 65), the
// list of its mice kept in step with device_added/device_removed (which carry nothing: the
// list is read again), and the battery of each mouse, read once a minute (the daemon signals
// no change). Other threads read a picture of it without waiting: the records, each mouse's
// description, last result and battery, and the service state.

#include "libdc/backend.h"
#include "libdc/job_thread_linux.h"
#include "libdc/razer/razer_bus.h"
#include "libdc/razer/razer_device.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kelv::razer {

// Device events: a mouse arrived, went away; the service state changed; a battery changed.
constexpr uint32_t kArrived = 1, kRemoved = 2, kStateChanged = 3, kBatteryChanged = 4;

// A mouse as the job thread keeps it.
struct Mouse
{
    Device device;
    Identity identity;
    uint8_t tag = 0;
    Values values;
    Battery battery;
    int32_t lastResult = DC_OK;
};

// A listed mouse as other threads read it.
struct Snapshot
{
    dc::Record record;
    std::string key; // the hardware ID in lower case
    std::string description;
    int32_t lastResult = DC_OK;
    Battery battery;
};

class Transactions;

class Daemon
{
public:
    Daemon(Bus &bus, dc::JobThread &jobs, dc::Outbox &outbox);
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    void setTransactions(Transactions *t) { m_transactions = t; }

    // --- any thread -------------------------------------------------------------------------
    std::vector<dc::Record> records() const;
    bool find(const std::string &key, Snapshot *out = nullptr) const;
    std::string stateText() const; // property 65; remembers that it was read

    // --- the job thread ---------------------------------------------------------------------
    void run();
    Mouse *byKey(const std::string &key);
    void setLastResult(Mouse &m, int32_t result);
    // A mouse's battery as just read: published, and announced when it changed.
    void setBattery(Mouse &m, const Battery &battery);

private:
    using Clock = std::chrono::steady_clock;

    void connect();
    void lostBus();
    void handleNotices();
    void refresh();
    void gone();
    void enumerate();
    void add(const std::string &serial, Mouse m);
    void drop(std::string serial);
    void setState(const std::string &state);
    void pollBatteries();
    void waitForWork();
    void publish();

    Bus &m_bus;
    dc::JobThread &m_jobs;
    dc::Outbox &m_outbox;
    Transactions *m_transactions = nullptr;
    std::map<std::string, Mouse> m_mice; // by serial, in the daemon's order of arrival
    std::vector<std::string> m_order;
    std::string m_state;
    Clock::time_point m_nextConnect;
    Clock::time_point m_retryAt;
    Clock::time_point m_nextStart;
    Clock::time_point m_nextBattery;

    mutable std::mutex m_mutex;
    std::vector<Snapshot> m_snapshot;
    std::string m_stateText;
    mutable bool m_stateRead = false;
};

// Announces one event as a burst of five, like the composite simulated mouse.
void postBurst(dc::Outbox &outbox, uint32_t event);

} // namespace kelv::razer
