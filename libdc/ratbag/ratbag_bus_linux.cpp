// The connection to the system bus and to ratbagd on it (ratbag_bus.h): connecting and
// watching the daemon's signals, the calls with their one-second budget and their results,
// the daemon's name on the bus, and the changes and commits sent to it. Reading the daemon's
// objects is in ratbag_bus_read_linux.cpp, the typed values in ratbag_bus_message_linux.cpp.

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_bus.h"
#include "libdc/ratbag/ratbag_bus_message_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <systemd/sd-bus.h>

namespace kelv::ratbag {

using namespace detail;

Bus::Bus(std::string busName) : m_name(std::move(busName))
{
    m_root = "/" + m_name;
    std::replace(m_root.begin(), m_root.end(), '.', '/');
}

Bus::~Bus()
{
    disconnect();
}

bool Bus::connect()
{
    disconnect();
    const std::vector<std::string> matches = {
        std::string("type='signal',sender='") + kBusName + "',interface='" + kBusName +
            "',member='NameOwnerChanged',arg0='" + m_name + "'",
        "type='signal',sender='" + m_name + "',interface='" + kProperties +
            "',member='PropertiesChanged',path_namespace='" + m_root + "'",
        "type='signal',sender='" + m_name + "',interface='" + interface("Device") +
            "',member='Resync'",
    };
    return m_connection.open(sd_bus_open_system, kCallTimeoutUsec, matches, &Bus::onSignal, this);
}

void Bus::disconnect()
{
    m_connection.close();
    m_notices.clear();
}

std::vector<Notice> Bus::takeNotices()
{
    std::vector<Notice> out;
    out.swap(m_notices);
    return out;
}

int Bus::onSignal(sd_bus_message *m, void *self, sd_bus_error *)
{
    static_cast<Bus *>(self)->noteSignal(m);
    return 0;
}

void Bus::noteSignal(sd_bus_message *m)
{
    const char *member = sd_bus_message_get_member(m);
    const char *path = sd_bus_message_get_path(m);
    if (!member || !path)
        return;
    if (std::strcmp(member, "NameOwnerChanged") == 0) {
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && m_name == name)
            m_notices.push_back({Notice::Kind::OwnerChanged, std::string(), after ? after : ""});
        return;
    }
    if (std::strcmp(member, "Resync") == 0) {
        m_notices.push_back({Notice::Kind::Resync, path, std::string()});
        return;
    }
    const char *iface = nullptr;
    if (sd_bus_message_read_basic(m, 's', &iface) < 0 || !iface)
        return;
    const std::string changedOn = iface;
    forEachProperty(m, [&](const std::string &name, const char *contents) {
        if (name == "Devices" && changedOn == interface("Manager")) {
            m_notices.push_back({Notice::Kind::DevicesChanged, path, std::string()});
            return 0;
        }
        if (name == "IsDirty" && changedOn == interface("Profile")) {
            m_notices.push_back({Notice::Kind::ProfileDirty, path, std::string()});
            return 0;
        }
        if (name != "IsActive")
            return 0;
        bool active = false;
        const int r = readBool(m, contents, &active);
        if (r >= 0 && active && changedOn == interface("Resolution"))
            m_notices.push_back({Notice::Kind::ResolutionActive, path, std::string()});
        if (r >= 0 && active && changedOn == interface("Profile"))
            m_notices.push_back({Notice::Kind::ProfileActive, path, std::string()});
        return r < 0 ? r : 1;
    });
}

int32_t Bus::resultOf(int r, const void *errorPointer)
{
    if (r >= 0)
        return DC_OK;
    const auto *error = static_cast<const sd_bus_error *>(errorPointer);
    if (r == -ETIMEDOUT) {
        m_timedOut = true;
        return DC_DEVICE_FAULT;
    }
    if (error && sd_bus_error_has_name(error, SD_BUS_ERROR_ACCESS_DENIED))
        return DC_ACCESS_DENIED;
    static const char *const gone[] = {SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                       SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_NO_REPLY,
                                       SD_BUS_ERROR_DISCONNECTED};
    for (const char *name : gone) {
        if (error && sd_bus_error_has_name(error, name))
            return DC_NOT_PRESENT;
    }
    if (r == -ENOTCONN || r == -ECONNRESET)
        return DC_NOT_PRESENT;
    static const char *const refused[] = {
        SD_BUS_ERROR_INVALID_ARGS, SD_BUS_ERROR_PROPERTY_READ_ONLY, SD_BUS_ERROR_UNKNOWN_PROPERTY};
    for (const char *name : refused) {
        if (error && sd_bus_error_has_name(error, name))
            return DC_REFUSED;
    }
    return DC_DEVICE_FAULT;
}

int32_t Bus::call(sd_bus_message *m, sd_bus_message **reply, uint64_t timeoutUsec)
{
    if (!bus())
        return DC_NOT_PRESENT;
    if (m_timedOut)
        return DC_DEVICE_FAULT;
    Error error;
    const int r =
        sd_bus_call(bus(), m, timeoutUsec ? timeoutUsec : kCallTimeoutUsec, &error.e, reply);
    return resultOf(r, &error.e);
}

int32_t Bus::getAll(const std::string &path, const std::string &suffix, sd_bus_message **reply)
{
    Message m;
    if (!bus())
        return DC_NOT_PRESENT;
    if (sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), path.c_str(), kProperties,
                                       "GetAll") < 0 ||
        sd_bus_message_append(m.m, "s", interface(suffix).c_str()) < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, reply);
}

int32_t Bus::nameOwned(bool *owned)
{
    Message m, reply;
    *owned = false;
    if (!bus() ||
        sd_bus_message_new_method_call(bus(), m.out(), kBusName, kBusPath, kBusName,
                                       "NameHasOwner") < 0 ||
        sd_bus_message_append(m.m, "s", m_name.c_str()) < 0)
        return DC_NOT_PRESENT;
    if (const int32_t r = call(m.m, reply.out()))
        return r;
    int value = 0;
    if (sd_bus_message_read(reply.m, "b", &value) < 0)
        return DC_DEVICE_FAULT;
    *owned = value != 0;
    return DC_OK;
}

int32_t Bus::nameActivatable(bool *activatable)
{
    Message m, reply;
    *activatable = false;
    if (!bus() || sd_bus_message_new_method_call(bus(), m.out(), kBusName, kBusPath, kBusName,
                                                 "ListActivatableNames") < 0)
        return DC_NOT_PRESENT;
    if (const int32_t r = call(m.m, reply.out()))
        return r;
    int r = sd_bus_message_enter_container(reply.m, 'a', "s");
    const char *name = nullptr;
    while (r >= 0 && (r = sd_bus_message_read_basic(reply.m, 's', &name)) > 0)
        *activatable = *activatable || m_name == name;
    return r < 0 ? DC_DEVICE_FAULT : DC_OK;
}

bool Bus::startDaemon()
{
    // The bus answers once the daemon owns its name: a daemon that takes seconds to come up
    // (many devices at boot) is no failed start. The bus gives up after 25 s itself.
    constexpr uint64_t kStartTimeoutUsec = 30000000;
    Message m;
    return bus() &&
           sd_bus_message_new_method_call(bus(), m.out(), kBusName, kBusPath, kBusName,
                                          "StartServiceByName") >= 0 &&
           sd_bus_message_append(m.m, "su", m_name.c_str(), 0u) >= 0 &&
           sd_bus_call_async(bus(), nullptr, m.m, &Bus::onStartReply, this, kStartTimeoutUsec) >= 0;
}

int Bus::onStartReply(sd_bus_message *m, void *self, sd_bus_error *)
{
    auto *bus = static_cast<Bus *>(self);
    const sd_bus_error *error = sd_bus_message_get_error(m);
    if (error)
        bus->m_notices.push_back(
            {Notice::Kind::StartFailed, std::string(), error->name ? error->name : ""});
    else
        bus->m_notices.push_back({Notice::Kind::Started, std::string(), std::string()});
    return 0;
}

int32_t Bus::apiVersion(int *api)
{
    Message m, reply;
    if (!bus() ||
        sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), m_root.c_str(), kProperties,
                                       "Get") < 0 ||
        sd_bus_message_append(m.m, "ss", interface("Manager").c_str(), "APIVersion") < 0)
        return DC_NOT_PRESENT;
    if (const int32_t r = call(m.m, reply.out()))
        return r;
    int32_t value = 0;
    if (sd_bus_message_read(reply.m, "v", "i", &value) < 0)
        return DC_DEVICE_FAULT;
    *api = value;
    return DC_OK;
}

int32_t Bus::apply(const Op &op)
{
    Message m, reply;
    if (!bus())
        return DC_NOT_PRESENT;
    int r = 0;
    if (op.kind == Op::Kind::Call) {
        r = sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), op.path.c_str(),
                                           interface(op.interface).c_str(), op.member.c_str());
    } else {
        r = sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), op.path.c_str(),
                                           kProperties, "Set");
        if (r >= 0)
            r = sd_bus_message_append(m.m, "ss", interface(op.interface).c_str(),
                                      op.member.c_str());
        if (r >= 0)
            r = appendValue(m.m, op.value);
    }
    if (r < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, reply.out());
}

int32_t Bus::commit(const std::string &devicePath)
{
    Message m, reply;
    if (!bus() || sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), devicePath.c_str(),
                                                 interface("Device").c_str(), "Commit") < 0)
        return DC_NOT_PRESENT;
    return call(m.m, reply.out());
}

int32_t Bus::ping(uint64_t timeoutUsec)
{
    Message m, reply;
    if (!bus() || sd_bus_message_new_method_call(bus(), m.out(), m_name.c_str(), m_root.c_str(),
                                                 "org.freedesktop.DBus.Peer", "Ping") < 0)
        return DC_NOT_PRESENT;
    return call(m.m, reply.out(), timeoutUsec);
}

bool Bus::waitForSignals(int timeoutMs)
{
    if (!bus())
        return false;
    pollfd fd{sd_bus_get_fd(bus()), events(), 0};
    if (fd.fd < 0 || poll(&fd, 1, std::max(timeoutMs, 0)) < 0)
        return errno == EINTR && process();
    return process();
}

} // namespace kelv::ratbag
