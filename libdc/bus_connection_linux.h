#pragma once

// One sd-bus connection of a daemon client (ratbagd's on the system bus, OpenRazer's on the
// session bus), with the signal matches it watches: opened, polled and closed the same way
// for every daemon. Used by one thread only (the service's job thread).

#include <cstdint>
#include <string>
#include <systemd/sd-bus.h>
#include <vector>

namespace kelv::dc {

class BusConnection
{
public:
    BusConnection() = default;
    ~BusConnection() { close(); }
    BusConnection(const BusConnection &) = delete;
    BusConnection &operator=(const BusConnection &) = delete;

    // Opens the bus with openBus (sd_bus_open_system, sd_bus_open_user), gives every method
    // call callTimeoutUsec and adds each match with handler(userdata). False, and closed,
    // when any of it fails.
    bool open(int (*openBus)(sd_bus **), uint64_t callTimeoutUsec,
              const std::vector<std::string> &matches, sd_bus_message_handler_t handler,
              void *userdata);
    void close();

    sd_bus *get() const { return m_bus; }
    int fd() const;
    short events() const;
    uint64_t deadline() const; // CLOCK_MONOTONIC microseconds; UINT64_MAX: none
    // Reads and dispatches what arrived; false when the connection broke (or none is open).
    bool process();

private:
    sd_bus *m_bus = nullptr;
    std::vector<sd_bus_slot *> m_slots;
};

} // namespace kelv::dc
