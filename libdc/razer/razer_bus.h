#pragma once

// The connection to the session bus and to OpenRazer's daemon on it (sd-bus). One object is
// used by one thread only (the service's job thread). Every call waits at most two seconds;
// within one request the first call that runs out of time makes every later call fail at
// once, so a hanging daemon costs two seconds per request. Replies are read with their types
// checked: a reply of another type fails the call with DC_DEVICE_FAULT.

#include "libdc/bus_connection_linux.h"

#include <cstdint>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace kelv::razer {

constexpr char kBusName[] = "org.razer";
constexpr char kRootPath[] = "/org/razer";

// A signal seen on the bus, kept until the service takes it.
enum class Notice {
    OwnerChanged, // the daemon's name got a new owner or lost it
    DaemonGone,   // ... lost it
    Devices,      // device_added or device_removed: list again (they carry nothing)
};

class Bus
{
public:
    Bus() = default;
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // Connects to the session bus and watches the daemon's signals. False: no bus.
    bool connect();
    bool connected() const { return m_connection.get() != nullptr; }
    void disconnect();

    int fd() const { return m_connection.fd(); }
    short events() const { return m_connection.events(); }
    // CLOCK_MONOTONIC microseconds; UINT64_MAX: none.
    uint64_t deadline() const { return m_connection.deadline(); }
    // Reads and dispatches what arrived; false when the connection broke.
    bool process() { return m_connection.process(); }
    std::vector<Notice> takeNotices();

    // Starts a request: the time budget is fresh again.
    void beginRequest() { m_timedOut = false; }
    bool timedOut() const { return m_timedOut; }

    // --- the daemon ------------------------------------------------------------------------
    int32_t nameOwned(bool *owned);
    int32_t nameActivatable(bool *activatable);
    void startDaemon(); // does not wait
    int32_t serials(std::vector<std::string> *out);
    int32_t introspect(const std::string &path, std::string *xml);

    // Calls without arguments that answer one value of the named type.
    int32_t getText(const std::string &path, const char *iface, const char *member,
                    std::string *out);
    int32_t getBool(const std::string &path, const char *iface, const char *member, bool *out);
    int32_t getDouble(const std::string &path, const char *iface, const char *member, double *out);
    int32_t getInt(const std::string &path, const char *iface, const char *member, int64_t *out);
    // Answers of type ai, aq or ay, at most max kept.
    int32_t getList(const std::string &path, const char *iface, const char *member, size_t max,
                    std::vector<int64_t> *out);
    // getDPIStages: (ya(qq)).
    int32_t getStages(const std::string &path, uint8_t *active, std::vector<uint32_t> *x,
                      std::vector<uint32_t> *y);
    int32_t setStages(const std::string &path, uint8_t active, const std::vector<uint32_t> &x,
                      const std::vector<uint32_t> &y);
    // A call that answers nothing, with arguments in sd-bus's notation ("qq", 800, 800).
    int32_t set(const std::string &path, const char *iface, const char *member, const char *types,
                ...);

private:
    int32_t resultOf(int r, const sd_bus_error *error);
    int32_t call(sd_bus_message *m, sd_bus_message **reply);
    int32_t callNoArgs(const std::string &path, const char *iface, const char *member,
                       sd_bus_message **reply);
    static int onSignal(sd_bus_message *m, void *self, sd_bus_error *error);

    sd_bus *bus() const { return m_connection.get(); }

    dc::BusConnection m_connection;
    std::vector<Notice> m_notices;
    bool m_timedOut = false;
};

} // namespace kelv::razer
