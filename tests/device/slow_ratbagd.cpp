// A stand-in for ratbagd whose writes take time, on sd-bus and sd-event like the real daemon:
// one thread that answers Commit at once and writes the mouse afterwards (a deferred task),
// answering nothing else, not even org.freedesktop.DBus.Peer.Ping, until that write ends; API
// 2 then signals IsDirty of the mouse's profile, as libratbag 0.18 does. One mouse, usb:046d:
// c539:0, one profile whose ReportRate is writable. The real daemons' test devices write at
// once, and a stand-in on QtDBus answers Ping on another thread, so neither shows a write
// that outlasts a second (a wireless receiver's).
//
//   slow_ratbagd <api 1|2> <write milliseconds>

#include <cstdlib>
#include <cstring>
#include <string>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace {

const char kName[] = "org.freedesktop.ratbag_devel1";
const char kRoot[] = "/org/freedesktop/ratbag_devel1";
const char kDevice[] = "/org/freedesktop/ratbag_devel1/device/hidraw3";
const char kProfile[] = "/org/freedesktop/ratbag_devel1/profile/hidraw3/p0";
const char kResolution[] = "/org/freedesktop/ratbag_devel1/resolution/hidraw3/p0/r0";
const char kButton[] = "/org/freedesktop/ratbag_devel1/button/hidraw3/p0/b0";

struct State
{
    int api = 2;
    unsigned writeMs = 0;
    unsigned rate = 1000;
    bool dirty = false;
    sd_bus *bus = nullptr;
    sd_event *event = nullptr;
};
State g;

std::string iface(const char *suffix)
{
    return std::string(kName) + "." + suffix;
}

int getApi(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply, void *,
           sd_bus_error *)
{
    return sd_bus_message_append(reply, "i", g.api);
}

int getPaths(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
             void *, sd_bus_error *)
{
    const char *path = std::strcmp(property, "Devices") == 0       ? kDevice
                       : std::strcmp(property, "Profiles") == 0    ? kProfile
                       : std::strcmp(property, "Resolutions") == 0 ? kResolution
                       : std::strcmp(property, "Buttons") == 0     ? kButton
                                                                   : nullptr;
    return path ? sd_bus_message_append(reply, "ao", 1, path)
                : sd_bus_message_append(reply, "ao", 0);
}

int getText(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
            void *, sd_bus_error *)
{
    return sd_bus_message_append(
        reply, "s", std::strcmp(property, "Model") == 0 ? "usb:046d:c539:0" : "Slow mouse");
}

int getUint(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
            void *, sd_bus_error *)
{
    return sd_bus_message_append(reply, "u",
                                 std::strcmp(property, "DeviceType") == 0 ? 2u : g.rate);
}

int setRate(sd_bus *, const char *, const char *, const char *, sd_bus_message *value, void *,
            sd_bus_error *)
{
    int r = sd_bus_message_read(value, "u", &g.rate);
    g.dirty = true;
    return r;
}

int getBool(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
            void *, sd_bus_error *)
{
    const bool value = std::strcmp(property, "IsDirty") == 0 ? g.dirty
                       : std::strcmp(property, "Disabled") == 0
                           ? false
                           : true; // IsActive, Enabled, IsDefault
    return sd_bus_message_append(reply, "b", int(value));
}

int getUints(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
             void *, sd_bus_error *)
{
    if (std::strcmp(property, "ReportRates") == 0)
        return sd_bus_message_append(reply, "au", 2, 500u, 1000u);
    if (std::strcmp(property, "Resolutions") == 0)
        return sd_bus_message_append(reply, "au", 2, 800u, 1600u);
    if (std::strcmp(property, "ActionTypes") == 0)
        return sd_bus_message_append(reply, "au", 1, 1u);
    return sd_bus_message_append(reply, "au", 0);
}

int getDpi(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply, void *,
           sd_bus_error *)
{
    return sd_bus_message_append(reply, "v", "u", 800u);
}

int getMapping(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply, void *,
               sd_bus_error *)
{
    return sd_bus_message_append(reply, "(uv)", 1u, "u", 1u);
}

// The deferred write: the thread is busy for writeMs, then API 2 says the profile is clean.
int write(sd_event_source *source, void *)
{
    usleep(g.writeMs * 1000u);
    g.dirty = false;
    if (g.api >= 2)
        sd_bus_emit_properties_changed(g.bus, kProfile, iface("Profile").c_str(), "IsDirty",
                                       nullptr);
    sd_event_source_unref(source);
    return 0;
}

int commit(sd_bus_message *m, void *, sd_bus_error *)
{
    sd_event_add_defer(g.event, nullptr, write, nullptr);
    return sd_bus_reply_method_return(m, "u", 0u);
}

int loadNothing(sd_bus_message *m, void *, sd_bus_error *)
{
    return sd_bus_reply_method_return(m, "i", 0);
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("APIVersion", "i", getApi, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Devices", "ao", getPaths, 0, 0),
    SD_BUS_METHOD("LoadTestDevice", "s", "i", loadNothing, 0), SD_BUS_VTABLE_END};
const sd_bus_vtable kDeviceApi2[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Model", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("DeviceType", "u", getUint, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Profiles", "ao", getPaths, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Commit", "", "u", commit, 0),
    SD_BUS_SIGNAL("Resync", "", 0),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kDeviceApi1[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Model", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", getText, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Profiles", "ao", getPaths, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_METHOD("Commit", "", "u", commit, 0),
    SD_BUS_SIGNAL("Resync", "", 0),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kProfileApi2[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Resolutions", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("Buttons", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("Leds", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("ReportRates", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Capabilities", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IsActive", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Disabled", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("IsDirty", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_WRITABLE_PROPERTY("ReportRate", "u", getUint, setRate, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kProfileApi1[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Resolutions", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("Buttons", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("Leds", "ao", getPaths, 0, 0),
    SD_BUS_PROPERTY("ReportRates", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Capabilities", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IsActive", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Enabled", "b", getBool, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_WRITABLE_PROPERTY("ReportRate", "u", getUint, setRate, 0,
                             SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kResolutionTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Resolution", "v", getDpi, 0, 0),
    SD_BUS_PROPERTY("Resolutions", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("IsActive", "b", getBool, 0, 0),
    SD_BUS_PROPERTY("IsDefault", "b", getBool, 0, 0),
    SD_BUS_VTABLE_END};
const sd_bus_vtable kButtonTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("ActionTypes", "au", getUints, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Mapping", "(uv)", getMapping, 0, 0), SD_BUS_VTABLE_END};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    g.api = std::atoi(argv[1]) >= 2 ? 2 : 1;
    g.writeMs = unsigned(std::atoi(argv[2]));
    if (sd_event_default(&g.event) < 0 || sd_bus_open_system(&g.bus) < 0)
        return 1;
    const bool two = g.api >= 2;
    const struct
    {
        const char *path;
        const char *suffix;
        const sd_bus_vtable *table;
    } objects[] = {{kRoot, "Manager", kManager},
                   {kDevice, "Device", two ? kDeviceApi2 : kDeviceApi1},
                   {kProfile, "Profile", two ? kProfileApi2 : kProfileApi1},
                   {kResolution, "Resolution", kResolutionTable},
                   {kButton, "Button", kButtonTable}};
    for (const auto &o : objects) {
        if (sd_bus_add_object_vtable(g.bus, nullptr, o.path, iface(o.suffix).c_str(), o.table,
                                     nullptr) < 0)
            return 1;
    }
    if (sd_bus_request_name(g.bus, kName, 0) < 0 ||
        sd_bus_attach_event(g.bus, g.event, SD_EVENT_PRIORITY_NORMAL) < 0)
        return 1;
    return sd_event_loop(g.event) < 0 ? 1 : 0;
}
