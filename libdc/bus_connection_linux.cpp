#include "libdc/bus_connection_linux.h"

#include <poll.h>

namespace kelv::dc {

bool BusConnection::open(int (*openBus)(sd_bus **), uint64_t callTimeoutUsec,
                         const std::vector<std::string> &matches, sd_bus_message_handler_t handler,
                         void *userdata)
{
    close();
    sd_bus *bus = nullptr;
    if (openBus(&bus) < 0)
        return false;
    m_bus = bus;
    sd_bus_set_method_call_timeout(m_bus, callTimeoutUsec);
    for (const std::string &match : matches) {
        sd_bus_slot *slot = nullptr;
        if (sd_bus_add_match(m_bus, &slot, match.c_str(), handler, userdata) < 0) {
            close();
            return false;
        }
        m_slots.push_back(slot);
    }
    return true;
}

void BusConnection::close()
{
    for (sd_bus_slot *slot : m_slots)
        sd_bus_slot_unref(slot);
    m_slots.clear();
    if (m_bus)
        sd_bus_flush_close_unref(m_bus);
    m_bus = nullptr;
}

int BusConnection::fd() const
{
    return m_bus ? sd_bus_get_fd(m_bus) : -1;
}

short BusConnection::events() const
{
    const int e = m_bus ? sd_bus_get_events(m_bus) : 0;
    return short(e < 0 ? POLLIN : e);
}

uint64_t BusConnection::deadline() const
{
    uint64_t usec = UINT64_MAX;
    if (m_bus && sd_bus_get_timeout(m_bus, &usec) < 0)
        usec = UINT64_MAX;
    return usec;
}

bool BusConnection::process()
{
    if (!m_bus)
        return false;
    int r = 0;
    while ((r = sd_bus_process(m_bus, nullptr)) > 0) {
    }
    return r >= 0;
}

} // namespace kelv::dc
