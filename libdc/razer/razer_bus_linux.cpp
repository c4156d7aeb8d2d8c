#include "libdc/libdc.h"
#include "libdc/razer/razer_bus.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace kelv::razer {

namespace {

constexpr uint64_t kCallTimeoutUsec = 2000000;
constexpr const char kDBusName[] = "org.freedesktop.DBus";
constexpr const char kDBusPath[] = "/org/freedesktop/DBus";

struct Message
{
    sd_bus_message *m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

struct Error
{
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

// Reads one basic value of whatever integer type the reply holds.
int readInteger(sd_bus_message *m, char type, int64_t *out)
{
    union {
        uint8_t y;
        int16_t n;
        uint16_t q;
        int32_t i;
        uint32_t u;
        int64_t x;
        uint64_t t;
    } v{};
    const int r = sd_bus_message_read_basic(m, type, &v);
    if (r <= 0)
        return r < 0 ? r : -EBADMSG;
    switch (type) {
    case 'y':
        *out = v.y;
        break;
    case 'n':
        *out = v.n;
        break;
    case 'q':
        *out = v.q;
        break;
    case 'i':
        *out = v.i;
        break;
    case 'u':
        *out = v.u;
        break;
    case 'x':
        *out = v.x;
        break;
    case 't':
        *out = int64_t(v.t);
        break;
    default:
        return -EBADMSG;
    }
    return 1;
}

bool integerType(char type)
{
    return type && std::strchr("ynqiuxt", type) != nullptr;
}

} // namespace

Bus::~Bus()
{
    disconnect();
}

bool Bus::connect()
{
    disconnect();
    const std::vector<std::string> matches = {
        std::string("type='signal',sender='") + kDBusName + "',interface='" + kDBusName +
            "',member='NameOwnerChanged',arg0='" + kBusName + "'",
        std::string("type='signal',sender='") + kBusName + "',interface='razer.devices'",
    };
    return m_connection.open(sd_bus_open_user, kCallTimeoutUsec, matches, &Bus::onSignal, this);
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
    auto *bus = static_cast<Bus *>(self);
    const char *member = sd_bus_message_get_member(m);
    if (!member)
        return 0;
    if (std::strcmp(member, "NameOwnerChanged") == 0) {
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && name &&
            std::strcmp(name, kBusName) == 0)
            bus->m_notices.push_back(after && *after ? Notice::OwnerChanged : Notice::DaemonGone);
    } else if (std::strcmp(member, "device_added") == 0 ||
               std::strcmp(member, "device_removed") == 0) {
        bus->m_notices.push_back(Notice::Devices);
    }
    return 0;
}

int32_t Bus::resultOf(int r, const sd_bus_error *error)
{
    if (r >= 0)
        return DC_OK;
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
    return DC_DEVICE_FAULT;
}

int32_t Bus::call(sd_bus_message *m, sd_bus_message **reply)
{
    if (m_timedOut)
        return DC_DEVICE_FAULT;
    Error error;
    const int r = sd_bus_call(bus(), m, kCallTimeoutUsec, &error.e, reply);
    return resultOf(r, &error.e);
}

int32_t Bus::callNoArgs(const std::string &path, const char *iface, const char *member,
                        sd_bus_message **reply)
{
    if (!bus())
        return DC_NOT_PRESENT;
    Message m;
    if (sd_bus_message_new_method_call(bus(), &m.m, kBusName, path.c_str(), iface, member) < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, reply);
}

int32_t Bus::nameOwned(bool *owned)
{
    *owned = false;
    if (!bus())
        return DC_NOT_PRESENT;
    Message m, reply;
    if (sd_bus_message_new_method_call(bus(), &m.m, kDBusName, kDBusPath, kDBusName,
                                       "NameHasOwner") < 0 ||
        sd_bus_message_append(m.m, "s", kBusName) < 0)
        return DC_DEVICE_FAULT;
    if (const int32_t r = call(m.m, &reply.m))
        return r;
    int value = 0;
    if (sd_bus_message_read(reply.m, "b", &value) < 0)
        return DC_DEVICE_FAULT;
    *owned = value != 0;
    return DC_OK;
}

int32_t Bus::nameActivatable(bool *activatable)
{
    *activatable = false;
    if (!bus())
        return DC_NOT_PRESENT;
    Message m, reply;
    if (sd_bus_message_new_method_call(bus(), &m.m, kDBusName, kDBusPath, kDBusName,
                                       "ListActivatableNames") < 0)
        return DC_DEVICE_FAULT;
    if (const int32_t r = call(m.m, &reply.m))
        return r;
    int r = sd_bus_message_enter_container(reply.m, 'a', "s");
    const char *name = nullptr;
    while (r >= 0 && (r = sd_bus_message_read_basic(reply.m, 's', &name)) > 0)
        *activatable = *activatable || std::strcmp(name, kBusName) == 0;
    return r < 0 ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
}

void Bus::startDaemon()
{
    if (bus())
        sd_bus_call_method_async(bus(), nullptr, kDBusName, kDBusPath, kDBusName,
                                 "StartServiceByName", nullptr, nullptr, "su", kBusName, 0u);
}

int32_t Bus::serials(std::vector<std::string> *out)
{
    out->clear();
    Message reply;
    if (const int32_t r = callNoArgs(kRootPath, "razer.devices", "getDevices", &reply.m))
        return r;
    int r = sd_bus_message_enter_container(reply.m, 'a', "s");
    const char *serial = nullptr;
    while (r >= 0 && (r = sd_bus_message_read_basic(reply.m, 's', &serial)) > 0) {
        if (out->size() < 4 * 16 && serial)
            out->push_back(serial);
    }
    return r < 0 ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
}

int32_t Bus::introspect(const std::string &path, std::string *xml)
{
    return getText(path, "org.freedesktop.DBus.Introspectable", "Introspect", xml);
}

int32_t Bus::getText(const std::string &path, const char *iface, const char *member,
                     std::string *out)
{
    Message reply;
    if (const int32_t r = callNoArgs(path, iface, member, &reply.m))
        return r;
    const char *text = nullptr;
    if (sd_bus_message_read(reply.m, "s", &text) <= 0 || !text)
        return DC_DEVICE_FAULT;
    *out = text;
    return DC_OK;
}

int32_t Bus::getBool(const std::string &path, const char *iface, const char *member, bool *out)
{
    Message reply;
    if (const int32_t r = callNoArgs(path, iface, member, &reply.m))
        return r;
    int value = 0;
    if (sd_bus_message_read(reply.m, "b", &value) <= 0)
        return DC_DEVICE_FAULT;
    *out = value != 0;
    return DC_OK;
}

int32_t Bus::getDouble(const std::string &path, const char *iface, const char *member, double *out)
{
    Message reply;
    if (const int32_t r = callNoArgs(path, iface, member, &reply.m))
        return r;
    char type = 0;
    const char *contents = nullptr;
    if (sd_bus_message_peek_type(reply.m, &type, &contents) <= 0)
        return DC_DEVICE_FAULT;
    if (type == 'd')
        return sd_bus_message_read_basic(reply.m, 'd', out) > 0 ? int32_t(DC_OK)
                                                                : int32_t(DC_DEVICE_FAULT);
    int64_t value = 0;
    if (!integerType(type) || readInteger(reply.m, type, &value) <= 0)
        return DC_DEVICE_FAULT;
    *out = double(value);
    return DC_OK;
}

int32_t Bus::getInt(const std::string &path, const char *iface, const char *member, int64_t *out)
{
    Message reply;
    if (const int32_t r = callNoArgs(path, iface, member, &reply.m))
        return r;
    char type = 0;
    const char *contents = nullptr;
    if (sd_bus_message_peek_type(reply.m, &type, &contents) <= 0 || !integerType(type) ||
        readInteger(reply.m, type, out) <= 0)
        return DC_DEVICE_FAULT;
    return DC_OK;
}

int32_t Bus::getList(const std::string &path, const char *iface, const char *member, size_t max,
                     std::vector<int64_t> *out)
{
    out->clear();
    Message reply;
    if (const int32_t r = callNoArgs(path, iface, member, &reply.m))
        return r;
    char type = 0;
    const char *contents = nullptr;
    if (sd_bus_message_peek_type(reply.m, &type, &contents) <= 0 || type != 'a' || !contents ||
        !integerType(contents[0]) || contents[1] != 0)
        return DC_DEVICE_FAULT;
    int r = sd_bus_message_enter_container(reply.m, 'a', contents);
    int64_t value = 0;
    while (r >= 0 && (r = readInteger(reply.m, contents[0], &value)) > 0) {
        if (out->size() < max)
            out->push_back(value);
    }
    // readInteger answers -EBADMSG for "nothing more" (0 from sd-bus) too: the end is exit.
    return sd_bus_message_exit_container(reply.m) < 0 ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
}

int32_t Bus::getStages(const std::string &path, uint8_t *active, std::vector<uint32_t> *x,
                       std::vector<uint32_t> *y)
{
    x->clear();
    y->clear();
    Message reply;
    if (const int32_t r = callNoArgs(path, "razer.device.dpi", "getDPIStages", &reply.m))
        return r;
    int r = sd_bus_message_enter_container(reply.m, 'r', "ya(qq)");
    if (r >= 0)
        r = sd_bus_message_read_basic(reply.m, 'y', active);
    if (r >= 0)
        r = sd_bus_message_enter_container(reply.m, 'a', "(qq)");
    uint16_t dx = 0, dy = 0;
    while (r >= 0 && (r = sd_bus_message_read(reply.m, "(qq)", &dx, &dy)) > 0) {
        if (x->size() < 16) {
            x->push_back(dx);
            y->push_back(dy);
        }
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(reply.m);
    if (r >= 0)
        r = sd_bus_message_exit_container(reply.m);
    return r < 0 ? int32_t(DC_DEVICE_FAULT) : int32_t(DC_OK);
}

int32_t Bus::setStages(const std::string &path, uint8_t active, const std::vector<uint32_t> &x,
                       const std::vector<uint32_t> &y)
{
    if (!bus())
        return DC_NOT_PRESENT;
    Message m, reply;
    int r = sd_bus_message_new_method_call(bus(), &m.m, kBusName, path.c_str(), "razer.device.dpi",
                                           "setDPIStages");
    if (r >= 0)
        r = sd_bus_message_append(m.m, "y", active);
    if (r >= 0)
        r = sd_bus_message_open_container(m.m, 'a', "(qq)");
    for (size_t i = 0; r >= 0 && i < x.size(); ++i)
        r = sd_bus_message_append(m.m, "(qq)", uint16_t(x[i]),
                                  uint16_t(i < y.size() ? y[i] : x[i]));
    if (r >= 0)
        r = sd_bus_message_close_container(m.m);
    if (r < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, &reply.m);
}

int32_t Bus::set(const std::string &path, const char *iface, const char *member, const char *types,
                 ...)
{
    if (!bus())
        return DC_NOT_PRESENT;
    Message m, reply;
    int r = sd_bus_message_new_method_call(bus(), &m.m, kBusName, path.c_str(), iface, member);
    if (r >= 0 && types && *types) {
        va_list args;
        va_start(args, types);
        r = sd_bus_message_appendv(m.m, types, args);
        va_end(args);
    }
    if (r < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, &reply.m);
}

} // namespace kelv::razer
