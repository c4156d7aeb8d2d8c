#pragma once

// The connection to the system bus and to ratbagd on it (sd-bus). One object is used by one
// thread only (the service's). Every call waits at most one second; within one request the
// first call that runs out of time makes every later call fail at once, so a hanging daemon
// costs one second per request. Everything the daemon sends is read with its types checked
// and its sizes bounded (ratbag_device.h).

#include "libdc/bus_connection_linux.h"
#include "libdc/ratbag/ratbag_device.h"

#include <cstdint>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace kelv::ratbag {

// A signal seen on the bus, kept until the service takes it.
struct Notice
{
    enum class Kind {
        OwnerChanged,     // the daemon's name got a new owner (owner empty: it went away)
        DevicesChanged,   // the Manager's Devices changed
        Resync,           // path: the device
        ResolutionActive, // path: the resolution now active
        ProfileActive,    // path: the profile now active
        ProfileDirty,     // path: a profile whose IsDirty changed (API 2; a commit's end)
        StartFailed,      // the bus could not start the daemon (owner: the error's name)
        Started,          // the bus started the daemon, or it ran already
    } kind;
    std::string path;
    std::string owner;
};

class Bus
{
public:
    // busName: the daemon's well-known name (org.freedesktop.ratbag1).
    explicit Bus(std::string busName);
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    const std::string &busName() const { return m_name; }
    // The objects' root path and the daemon's interface names ("Device" -> name + ".Device").
    const std::string &root() const { return m_root; }
    std::string interface(const std::string &suffix) const { return m_name + "." + suffix; }

    // Connects to the system bus and watches the daemon's signals. False: no bus.
    bool connect();
    bool connected() const { return m_connection.get() != nullptr; }
    void disconnect();

    // For the service's poll(): the connection's file descriptor, the events to wait for and
    // the time (CLOCK_MONOTONIC, microseconds; UINT64_MAX: none) of its next time-out.
    int fd() const { return m_connection.fd(); }
    short events() const { return m_connection.events(); }
    uint64_t deadline() const { return m_connection.deadline(); }
    // Reads and dispatches what arrived; false when the connection broke.
    bool process() { return m_connection.process(); }

    // Starts a request: the one-second budget is fresh again.
    void beginRequest() { m_timedOut = false; }
    bool timedOut() const { return m_timedOut; }

    std::vector<Notice> takeNotices();

    // --- the daemon ------------------------------------------------------------------------
    int32_t nameOwned(bool *owned);
    int32_t nameActivatable(bool *activatable);
    // Asks the bus to start the daemon; does not wait for it. Its answer comes as a notice
    // (Started, StartFailed). False when the request could not be sent.
    bool startDaemon();
    int32_t apiVersion(int *api);
    int32_t devicePaths(std::vector<std::string> *paths);
    // What a device's objects are, for a daemon of API version api. DC_OK, or the result of
    // the call that failed. A device that is no mouse (kindOf()) is read no further than its
    // own properties.
    int32_t readDevice(const std::string &path, int api, Device *out);
    int32_t readValues(const Device &device, unsigned groups, Values *out);
    int32_t resolutionDpi(const std::string &path, uint32_t *dpi);
    int32_t apply(const Op &op);
    int32_t commit(const std::string &devicePath);
    // One round trip to the daemon itself (org.freedesktop.DBus.Peer.Ping), waiting at most
    // timeoutUsec: the daemon answers it once the work before it is done.
    int32_t ping(uint64_t timeoutUsec);
    // Waits until the connection has something to read, at most timeoutMs; reads it.
    // False when the connection broke.
    bool waitForSignals(int timeoutMs);

private:
    // The result of a call: DC_OK or a DcResult, from sd-bus's return and error.
    int32_t resultOf(int r, const void *error);
    int32_t getAll(const std::string &path, const std::string &suffix, sd_bus_message **reply);
    int32_t call(sd_bus_message *m, sd_bus_message **reply, uint64_t timeoutUsec = 0);
    // The parts of readDevice and readValues, one object or group of objects each.
    int32_t readProfileObject(const std::string &path, int api, Profile *out);
    int32_t readResolutionObject(const std::string &path, int api, Resolution *out,
                                 bool *isDefault);
    int32_t readButtonObject(const std::string &path, Button *out);
    int32_t readLedObject(const std::string &path, Led *out);
    int32_t readProfileValues(const Device &device, size_t i, Values *out);
    int32_t readResolutionValues(const Profile &p, Values *out);
    int32_t readButtonValues(const Profile &p, Values *out);
    int32_t readLedValues(const Profile &p, Values *out);
    static int onSignal(sd_bus_message *m, void *self, sd_bus_error *error);
    static int onStartReply(sd_bus_message *m, void *self, sd_bus_error *error);
    void noteSignal(sd_bus_message *m);

    std::string m_name;
    std::string m_root;
    sd_bus *bus() const { return m_connection.get(); }

    dc::BusConnection m_connection;
    std::vector<Notice> m_notices;
    bool m_timedOut = false;
};

} // namespace kelv::ratbag
