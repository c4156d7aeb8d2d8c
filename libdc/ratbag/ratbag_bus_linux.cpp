#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <systemd/sd-bus.h>

namespace kelv::ratbag {

namespace {

constexpr uint64_t kCallTimeoutUsec = 1000000; // one second per call
constexpr size_t kMaxPathBytes = 255;
constexpr const char kProperties[] = "org.freedesktop.DBus.Properties";
constexpr const char kBusName[] = "org.freedesktop.DBus";
constexpr const char kBusPath[] = "/org/freedesktop/DBus";

// Frees an sd-bus message when it goes out of scope.
struct Message
{
    sd_bus_message *m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
    sd_bus_message **out() { return &m; }
};

struct Error
{
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~Error() { sd_bus_error_free(&e); }
};

// --- reading typed values (the message stands at a variant holding `contents`) -------------
// Each reader answers 1 when it read the value, or a negative error.

// Leaves the container entered last; 1, or the first error.
int done(sd_bus_message *m, int r)
{
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return r < 0 ? r : 1;
}

int enterVariant(sd_bus_message *m, const char *contents, const char *want)
{
    if (std::strcmp(contents, want) != 0)
        return -EBADMSG;
    return sd_bus_message_enter_container(m, 'v', want);
}

int readUint(sd_bus_message *m, const char *contents, uint32_t *out)
{
    int r = enterVariant(m, contents, "u");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'u', out);
    return done(m, r);
}

int readInt(sd_bus_message *m, const char *contents, int32_t *out)
{
    int r = enterVariant(m, contents, "i");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'i', out);
    return done(m, r);
}

int readBool(sd_bus_message *m, const char *contents, bool *out)
{
    int value = 0;
    int r = enterVariant(m, contents, "b");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'b', &value);
    *out = value != 0;
    return done(m, r);
}

int readText(sd_bus_message *m, const char *contents, std::string *out)
{
    const char *text = nullptr;
    int r = enterVariant(m, contents, "s");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 's', &text);
    if (r >= 0)
        *out = text ? text : "";
    return done(m, r);
}

// A list of u, at most max kept (the rest is read and left out), sorted and without repeats.
int readUints(sd_bus_message *m, const char *contents, size_t max, std::vector<uint32_t> *out)
{
    const void *data = nullptr;
    size_t bytes = 0;
    int r = enterVariant(m, contents, "au");
    if (r >= 0)
        r = sd_bus_message_read_array(m, 'u', &data, &bytes);
    if (r < 0)
        return r;
    out->clear();
    if (data) {
        const auto *values = static_cast<const uint32_t *>(data);
        out->assign(values, values + std::min(bytes / sizeof(uint32_t), max));
    }
    std::sort(out->begin(), out->end());
    out->erase(std::unique(out->begin(), out->end()), out->end());
    return done(m, 0);
}

// Object paths below root, at most max kept.
int readPaths(sd_bus_message *m, const char *contents, const std::string &root, size_t max,
              std::vector<std::string> *out)
{
    out->clear();
    int r = enterVariant(m, contents, "ao");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'a', "o");
    const char *path = nullptr;
    while (r >= 0 && (r = sd_bus_message_read_basic(m, 'o', &path)) > 0) {
        const std::string p = path;
        if (out->size() < max && p.size() <= kMaxPathBytes &&
            p.compare(0, root.size() + 1, root + "/") == 0)
            out->push_back(p);
    }
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return done(m, r);
}

// The Resolution property: a variant holding u, or (uu) where X and Y are kept apart.
int readResolution(sd_bus_message *m, const char *contents, uint32_t *x, uint32_t *y, bool *xy)
{
    int r = enterVariant(m, contents, "v");
    const char *inner = nullptr;
    char type = 0;
    if (r >= 0)
        r = sd_bus_message_peek_type(m, &type, &inner);
    if (r >= 0 && inner && std::strcmp(inner, "u") == 0) {
        *xy = false;
        r = readUint(m, inner, x);
        *y = *x;
    } else if (r >= 0 && inner && std::strcmp(inner, "(uu)") == 0) {
        *xy = true;
        r = sd_bus_message_enter_container(m, 'v', "(uu)");
        if (r >= 0)
            r = sd_bus_message_read(m, "(uu)", x, y);
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    } else if (r >= 0) {
        r = -EBADMSG;
    }
    return done(m, r);
}

// A button's Mapping: (type, variant) where the variant holds u or a(uu).
int readMapping(sd_bus_message *m, const char *contents, Mapping *out)
{
    *out = Mapping();
    int r = enterVariant(m, contents, "(uv)");
    if (r >= 0)
        r = sd_bus_message_enter_container(m, 'r', "uv");
    if (r >= 0)
        r = sd_bus_message_read_basic(m, 'u', &out->type);
    const char *inner = nullptr;
    char type = 0;
    if (r >= 0)
        r = sd_bus_message_peek_type(m, &type, &inner);
    if (r >= 0 && inner && std::strcmp(inner, "u") == 0) {
        r = readUint(m, inner, &out->value);
    } else if (r >= 0 && inner && std::strcmp(inner, "a(uu)") == 0) {
        r = sd_bus_message_enter_container(m, 'v', "a(uu)");
        if (r >= 0)
            r = sd_bus_message_enter_container(m, 'a', "(uu)");
        uint32_t kind = 0, value = 0;
        while (r >= 0 && (r = sd_bus_message_read(m, "(uu)", &kind, &value)) > 0) {
            if (out->macro.size() < kMaxMacroEvents)
                out->macro.push_back({kind, value});
        }
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    } else if (r >= 0) {
        r = -EBADMSG;
    }
    // The daemon's own types only; an action type kelv does not know reads as unknown.
    if (out->type != ActionButton && out->type != ActionSpecial && out->type != ActionMacro)
        *out = Mapping();
    if (r >= 0)
        r = sd_bus_message_exit_container(m);
    return done(m, r);
}

int readRgb(sd_bus_message *m, const char *contents, LedValues *out)
{
    int r = enterVariant(m, contents, "(uuu)");
    if (r >= 0)
        r = sd_bus_message_read(m, "(uuu)", &out->red, &out->green, &out->blue);
    return done(m, r);
}

// Calls handle(name, contents) for every member of a GetAll reply; handle reads the value
// (returns > 0), leaves it (0: it is skipped) or fails (< 0).
template <typename Handle> int forEachProperty(sd_bus_message *m, Handle handle)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *name = nullptr;
        const char *contents = nullptr;
        char type = 0;
        r = sd_bus_message_read_basic(m, 's', &name);
        if (r >= 0)
            r = sd_bus_message_peek_type(m, &type, &contents);
        if (r >= 0 && (type != 'v' || !contents))
            r = -EBADMSG;
        if (r >= 0)
            r = handle(std::string(name), contents);
        if (r == 0)
            r = sd_bus_message_skip(m, "v");
        if (r >= 0)
            r = sd_bus_message_exit_container(m);
    }
    return done(m, r);
}

// --- writing typed values ---------------------------------------------------------------------

int appendValue(sd_bus_message *m, const BusValue &v)
{
    using Kind = BusValue::Kind;
    int r = 0;
    switch (v.kind) {
    case Kind::Uint:
        return sd_bus_message_append(m, "v", "u", v.a);
    case Kind::Int:
        return sd_bus_message_append(m, "v", "i", int32_t(v.a));
    case Kind::Bool:
        return sd_bus_message_append(m, "v", "b", int(v.a != 0));
    case Kind::Text:
        return sd_bus_message_append(m, "v", "s", v.text.c_str());
    case Kind::Rgb:
        return sd_bus_message_append(m, "v", "(uuu)", v.a, v.b, v.c);
    case Kind::Dpi:
        r = sd_bus_message_open_container(m, 'v', "v");
        if (r >= 0)
            r = sd_bus_message_append(m, "v", "u", v.a);
        return r < 0 ? r : sd_bus_message_close_container(m);
    case Kind::DpiXY:
        r = sd_bus_message_open_container(m, 'v', "v");
        if (r >= 0)
            r = sd_bus_message_append(m, "v", "(uu)", v.a, v.b);
        return r < 0 ? r : sd_bus_message_close_container(m);
    case Kind::MapButton:
        return sd_bus_message_append(m, "v", "(uv)", v.a, "u", v.b);
    case Kind::MapMacro:
        r = sd_bus_message_open_container(m, 'v', "(uv)");
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'r', "uv");
        if (r >= 0)
            r = sd_bus_message_append(m, "u", uint32_t(ActionMacro));
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'v', "a(uu)");
        if (r >= 0)
            r = sd_bus_message_open_container(m, 'a', "(uu)");
        for (size_t i = 0; r >= 0 && i < v.macro.size(); ++i)
            r = sd_bus_message_append(m, "(uu)", v.macro[i].type, v.macro[i].value);
        for (int level = 0; r >= 0 && level < 4; ++level)
            r = sd_bus_message_close_container(m);
        return r;
    }
    return -EINVAL;
}

} // namespace

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
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return false;
    m_bus = bus;
    sd_bus_set_method_call_timeout(m_bus, kCallTimeoutUsec);
    const std::string matches[] = {
        std::string("type='signal',sender='") + kBusName + "',interface='" + kBusName +
            "',member='NameOwnerChanged',arg0='" + m_name + "'",
        "type='signal',sender='" + m_name + "',interface='" + kProperties +
            "',member='PropertiesChanged',path_namespace='" + m_root + "'",
        "type='signal',sender='" + m_name + "',interface='" + interface("Device") +
            "',member='Resync'",
    };
    for (const std::string &match : matches) {
        sd_bus_slot *slot = nullptr;
        if (sd_bus_add_match(m_bus, &slot, match.c_str(), &Bus::onSignal, this) < 0) {
            disconnect();
            return false;
        }
        m_slots.push_back(slot);
    }
    return true;
}

void Bus::disconnect()
{
    for (sd_bus_slot *slot : m_slots)
        sd_bus_slot_unref(slot);
    m_slots.clear();
    if (m_bus)
        sd_bus_flush_close_unref(m_bus);
    m_bus = nullptr;
    m_notices.clear();
}

int Bus::fd() const
{
    return m_bus ? sd_bus_get_fd(m_bus) : -1;
}

short Bus::events() const
{
    const int e = m_bus ? sd_bus_get_events(m_bus) : 0;
    return short(e < 0 ? POLLIN : e);
}

uint64_t Bus::deadline() const
{
    uint64_t usec = UINT64_MAX;
    if (m_bus && sd_bus_get_timeout(m_bus, &usec) < 0)
        usec = UINT64_MAX;
    return usec;
}

bool Bus::process()
{
    if (!m_bus)
        return false;
    int r = 0;
    while ((r = sd_bus_process(m_bus, nullptr)) > 0) {
    }
    return r >= 0;
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
    if (!m_bus)
        return DC_NOT_PRESENT;
    if (m_timedOut)
        return DC_DEVICE_FAULT;
    Error error;
    const int r =
        sd_bus_call(m_bus, m, timeoutUsec ? timeoutUsec : kCallTimeoutUsec, &error.e, reply);
    return resultOf(r, &error.e);
}

int32_t Bus::getAll(const std::string &path, const std::string &suffix, sd_bus_message **reply)
{
    Message m;
    if (!m_bus)
        return DC_NOT_PRESENT;
    if (sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), path.c_str(), kProperties,
                                       "GetAll") < 0 ||
        sd_bus_message_append(m.m, "s", interface(suffix).c_str()) < 0)
        return DC_DEVICE_FAULT;
    return call(m.m, reply);
}

int32_t Bus::nameOwned(bool *owned)
{
    Message m, reply;
    *owned = false;
    if (!m_bus ||
        sd_bus_message_new_method_call(m_bus, m.out(), kBusName, kBusPath, kBusName,
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
    if (!m_bus || sd_bus_message_new_method_call(m_bus, m.out(), kBusName, kBusPath, kBusName,
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
    return m_bus &&
           sd_bus_message_new_method_call(m_bus, m.out(), kBusName, kBusPath, kBusName,
                                          "StartServiceByName") >= 0 &&
           sd_bus_message_append(m.m, "su", m_name.c_str(), 0u) >= 0 &&
           sd_bus_call_async(m_bus, nullptr, m.m, &Bus::onStartReply, this, kStartTimeoutUsec) >= 0;
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
    if (!m_bus ||
        sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), m_root.c_str(), kProperties,
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

int32_t Bus::devicePaths(std::vector<std::string> *paths)
{
    Message reply;
    if (const int32_t r = getAll(m_root, "Manager", reply.out()))
        return r;
    const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        return name == "Devices" ? readPaths(reply.m, contents, m_root, kMaxMice, paths) : 0;
    });
    std::sort(paths->begin(), paths->end());
    return r < 0 ? DC_DEVICE_FAULT : DC_OK;
}

int32_t Bus::readDevice(const std::string &path, int api, Device *out)
{
    *out = Device();
    out->path = path;
    out->profileDisabledProperty = api >= 2;
    Message reply;
    if (const int32_t r = getAll(path, "Device", reply.out()))
        return r;
    std::vector<std::string> profiles;
    bool hasModel = false;
    int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        std::string text;
        if (name == "Profiles")
            return readPaths(reply.m, contents, m_root, kMaxProfiles, &profiles);
        if (name == "DeviceType")
            return readUint(reply.m, contents, &out->type);
        if (name != "Name" && name != "Model" && name != "FirmwareVersion")
            return 0;
        hasModel = hasModel || name == "Model";
        const int rr = readText(reply.m, contents, &text);
        if (name == "Name")
            out->name = cleanText(text, kMaxNameBytes);
        else if (name == "Model")
            out->model = asciiText(text, kMaxModelBytes);
        else
            out->firmware = asciiText(text, 16);
        return rr < 0 ? rr : 1;
    });
    if (r < 0 || !hasModel)
        return DC_DEVICE_FAULT;
    // A keyboard, a headset: not read any further, not listed.
    if (kindOf(*out) != DeviceMouse)
        return DC_OK;
    if (profiles.empty())
        return DC_DEVICE_FAULT;

    for (const std::string &profilePath : profiles) {
        Profile p;
        p.path = profilePath;
        std::vector<std::string> resolutions, buttons, leds;
        std::vector<uint32_t> caps;
        Message pr;
        if (const int32_t res = getAll(profilePath, "Profile", pr.out()))
            return res;
        r = forEachProperty(pr.m, [&](const std::string &name, const char *contents) {
            if (name == "Resolutions")
                return readPaths(pr.m, contents, m_root, kMaxResolutions, &resolutions);
            if (name == "Buttons")
                return readPaths(pr.m, contents, m_root, kMaxButtons, &buttons);
            if (name == "Leds")
                return readPaths(pr.m, contents, m_root, kMaxLeds, &leds);
            if (name == "ReportRates")
                return readUints(pr.m, contents, kMaxRates, &p.reportRates);
            if (name == "Capabilities")
                return readUints(pr.m, contents, 32, &caps);
            if (name == "Debounces")
                return readUints(pr.m, contents, 32, &p.debounces);
            if (name == "Name") {
                std::string text;
                const int rr = readText(pr.m, contents, &text);
                // The daemon's empty name: this profile's name cannot be changed.
                p.canRename = !cleanText(text, kProfileNameRecord - 1).empty();
                return rr;
            }
            if (name == "AngleSnapping" || name == "Debounce") {
                int32_t value = -1;
                const int rr = readInt(pr.m, contents, &value);
                // -1: the daemon has the property but the device does not have the setting.
                if (name == "AngleSnapping")
                    p.hasAngleSnapping = value >= 0;
                else
                    p.hasDebounce = value >= 0;
                return rr < 0 ? rr : 1;
            }
            return 0;
        });
        if (r < 0 || resolutions.empty())
            return DC_DEVICE_FAULT;
        p.canDisable = std::find(caps.begin(), caps.end(), 102u) != caps.end();
        p.hasDebounce = p.hasDebounce && !p.debounces.empty();
        p.reportRates.erase(std::remove(p.reportRates.begin(), p.reportRates.end(), 0u),
                            p.reportRates.end());

        for (const std::string &resolutionPath : resolutions) {
            Resolution res;
            res.path = resolutionPath;
            uint32_t x = 0, y = 0;
            bool isDefault = false;
            std::vector<uint32_t> resolutionCaps;
            Message rr;
            if (const int32_t res2 = getAll(resolutionPath, "Resolution", rr.out()))
                return res2;
            r = forEachProperty(rr.m, [&](const std::string &name, const char *contents) {
                if (name == "Resolution")
                    return readResolution(rr.m, contents, &x, &y, &res.separateXY);
                if (name == "Resolutions")
                    return readUints(rr.m, contents, kMaxDpis, &res.dpis);
                if (name == "IsDefault")
                    return readBool(rr.m, contents, &isDefault);
                if (name == "Capabilities")
                    return readUints(rr.m, contents, 32, &resolutionCaps);
                return 0;
            });
            if (r < 0)
                return DC_DEVICE_FAULT;
            // Capability 2: the resolution can be disabled (API 2's IsDisabled).
            res.canDisable = api >= 2 && std::find(resolutionCaps.begin(), resolutionCaps.end(),
                                                   2u) != resolutionCaps.end();
            res.dpis.erase(std::remove_if(res.dpis.begin(), res.dpis.end(),
                                          [](uint32_t dpi) { return dpi == 0 || dpi > 0xffff; }),
                           res.dpis.end());
            p.hasDefaultStage = p.hasDefaultStage || isDefault;
            p.resolutions.push_back(res);
        }
        for (const std::string &buttonPath : buttons) {
            Button b;
            b.path = buttonPath;
            Message br;
            if (const int32_t res2 = getAll(buttonPath, "Button", br.out()))
                return res2;
            std::vector<uint32_t> types;
            r = forEachProperty(br.m, [&](const std::string &name, const char *contents) {
                return name == "ActionTypes" ? readUints(br.m, contents, 16, &types) : 0;
            });
            if (r < 0)
                return DC_DEVICE_FAULT;
            for (const uint32_t t : types) {
                if (t == ActionButton || t == ActionSpecial || t == ActionMacro)
                    b.actionTypes.push_back(t);
            }
            p.buttons.push_back(b);
        }
        for (const std::string &ledPath : leds) {
            Led led;
            led.path = ledPath;
            Message lr;
            if (const int32_t res2 = getAll(ledPath, "Led", lr.out()))
                return res2;
            std::vector<uint32_t> modes;
            r = forEachProperty(lr.m, [&](const std::string &name, const char *contents) {
                if (name == "Modes")
                    return readUints(lr.m, contents, 16, &modes);
                if (name == "ColorDepth")
                    return readUint(lr.m, contents, &led.depth);
                return 0;
            });
            if (r < 0)
                return DC_DEVICE_FAULT;
            for (const uint32_t mode : modes) {
                if (mode < 4)
                    led.modes.push_back(mode);
            }
            if (led.depth > DepthRgb111)
                led.depth = DepthMonochrome; // an unknown depth: the colour is left alone
            p.leds.push_back(led);
        }
        out->profiles.push_back(std::move(p));
    }
    return DC_OK;
}

int32_t Bus::readValues(const Device &device, unsigned groups, Values *out)
{
    *out = Values();
    for (size_t i = 0; i < device.profiles.size(); ++i) {
        const Profile &p = device.profiles[i];
        Message reply;
        if (const int32_t r = getAll(p.path, "Profile", reply.out()))
            return r;
        bool active = false, enabled = true, disabled = false;
        uint32_t rate = 0;
        int32_t angle = -1, debounce = -1;
        std::string profileName;
        // API 1 says "Enabled", API 2 "Disabled"; a daemon that answers the other is not read
        // the wrong way round: that property is left out.
        const char *inUse = device.profileDisabledProperty ? "Disabled" : "Enabled";
        const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
            if (name == "IsActive")
                return readBool(reply.m, contents, &active);
            if (name == inUse)
                return readBool(reply.m, contents,
                                device.profileDisabledProperty ? &disabled : &enabled);
            if (name == "Name") {
                const int rr = readText(reply.m, contents, &profileName);
                profileName = cleanText(profileName, kProfileNameRecord - 1);
                return rr;
            }
            if (name == "ReportRate")
                return readUint(reply.m, contents, &rate);
            if (name == "AngleSnapping")
                return readInt(reply.m, contents, &angle);
            if (name == "Debounce")
                return readInt(reply.m, contents, &debounce);
            return 0;
        });
        if (r < 0)
            return DC_DEVICE_FAULT;
        out->enabled.push_back(device.profileDisabledProperty ? !disabled : enabled);
        out->names.push_back(profileName);
        if (active && out->activeProfile < 0) {
            out->activeProfile = int(i);
            out->reportRate = rate;
            out->angleSnapping = angle;
            out->debounce = debounce;
        }
    }
    const Profile &p = device.profiles.at(size_t(std::max(out->activeProfile, 0)));
    if (groups & GroupResolutions) {
        for (const Resolution &res : p.resolutions) {
            Message reply;
            if (const int32_t r = getAll(res.path, "Resolution", reply.out()))
                return r;
            ResolutionValues v;
            bool xy = false;
            const int r =
                forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
                    if (name == "IsActive")
                        return readBool(reply.m, contents, &v.active);
                    if (name == "IsDefault")
                        return readBool(reply.m, contents, &v.isDefault);
                    if (name == "IsDisabled" && res.canDisable)
                        return readBool(reply.m, contents, &v.disabled);
                    if (name == "Resolution")
                        return readResolution(reply.m, contents, &v.x, &v.y, &xy);
                    return 0;
                });
            if (r < 0)
                return DC_DEVICE_FAULT;
            out->resolutions.push_back(v);
        }
    }
    if (groups & GroupButtons) {
        for (const Button &b : p.buttons) {
            Message reply;
            if (const int32_t r = getAll(b.path, "Button", reply.out()))
                return r;
            Mapping mapping;
            const int r =
                forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
                    return name == "Mapping" ? readMapping(reply.m, contents, &mapping) : 0;
                });
            if (r < 0)
                return DC_DEVICE_FAULT;
            out->buttons.push_back(mapping);
        }
    }
    if (groups & GroupLeds) {
        for (const Led &led : p.leds) {
            Message reply;
            if (const int32_t r = getAll(led.path, "Led", reply.out()))
                return r;
            LedValues v;
            const int r =
                forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
                    if (name == "Mode")
                        return readUint(reply.m, contents, &v.mode);
                    if (name == "Color")
                        return readRgb(reply.m, contents, &v);
                    if (name == "EffectDuration")
                        return readUint(reply.m, contents, &v.duration);
                    if (name == "Brightness")
                        return readUint(reply.m, contents, &v.brightness);
                    return 0;
                });
            if (r < 0)
                return DC_DEVICE_FAULT;
            out->leds.push_back(v);
        }
    }
    return DC_OK;
}

int32_t Bus::resolutionDpi(const std::string &path, uint32_t *dpi)
{
    Message reply;
    if (const int32_t r = getAll(path, "Resolution", reply.out()))
        return r;
    uint32_t y = 0;
    bool xy = false;
    const int r = forEachProperty(reply.m, [&](const std::string &name, const char *contents) {
        return name == "Resolution" ? readResolution(reply.m, contents, dpi, &y, &xy) : 0;
    });
    return r < 0 ? DC_DEVICE_FAULT : DC_OK;
}

int32_t Bus::apply(const Op &op)
{
    Message m, reply;
    if (!m_bus)
        return DC_NOT_PRESENT;
    int r = 0;
    if (op.kind == Op::Kind::Call) {
        r = sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), op.path.c_str(),
                                           interface(op.interface).c_str(), op.member.c_str());
    } else {
        r = sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), op.path.c_str(),
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
    if (!m_bus || sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), devicePath.c_str(),
                                                 interface("Device").c_str(), "Commit") < 0)
        return DC_NOT_PRESENT;
    return call(m.m, reply.out());
}

int32_t Bus::ping(uint64_t timeoutUsec)
{
    Message m, reply;
    if (!m_bus || sd_bus_message_new_method_call(m_bus, m.out(), m_name.c_str(), m_root.c_str(),
                                                 "org.freedesktop.DBus.Peer", "Ping") < 0)
        return DC_NOT_PRESENT;
    return call(m.m, reply.out(), timeoutUsec);
}

bool Bus::waitForSignals(int timeoutMs)
{
    if (!m_bus)
        return false;
    pollfd fd{sd_bus_get_fd(m_bus), events(), 0};
    if (fd.fd < 0 || poll(&fd, 1, std::max(timeoutMs, 0)) < 0)
        return errno == EINTR && process();
    return process();
}

} // namespace kelv::ratbag
