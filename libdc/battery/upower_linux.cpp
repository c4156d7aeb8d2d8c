#include "libdc/battery/upower_linux.h"

#include "libdc/sysfs_linux.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <systemd/sd-bus.h>
#include <vector>

namespace kelv::dc {

namespace {

constexpr const char kName[] = "org.freedesktop.UPower";
constexpr const char kPath[] = "/org/freedesktop/UPower";
constexpr const char kDeviceIface[] = "org.freedesktop.UPower.Device";
constexpr uint64_t kCallTimeoutUsec = 2000000;
constexpr uint32_t kTypeMouse = 5;
constexpr uint32_t kBatteryChanged = 4;
constexpr int kReconnectMs = 60000; // no system bus: look again once a minute

struct Message
{
    sd_bus_message *m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

} // namespace

struct UPowerBatteries::Bus
{
    sd_bus *bus = nullptr;
    std::vector<sd_bus_slot *> slots;
    bool relist = false;
    std::set<std::string> changed; // device paths whose properties changed

    ~Bus() { close(); }
    void close()
    {
        for (sd_bus_slot *slot : slots)
            sd_bus_slot_unref(slot);
        slots.clear();
        if (bus)
            sd_bus_flush_close_unref(bus);
        bus = nullptr;
    }
    static int onSignal(sd_bus_message *m, void *self, sd_bus_error *)
    {
        auto *b = static_cast<Bus *>(self);
        const char *member = sd_bus_message_get_member(m);
        const char *path = sd_bus_message_get_path(m);
        if (member && std::strcmp(member, "PropertiesChanged") == 0 && path)
            b->changed.insert(path);
        else
            b->relist = true; // NameOwnerChanged, DeviceAdded, DeviceRemoved
        return 0;
    }
    bool open()
    {
        if (sd_bus_open_system(&bus) < 0) {
            bus = nullptr;
            return false;
        }
        sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
        const std::string matches[] = {
            std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                        "DBus',member='NameOwnerChanged',arg0='") +
                kName + "'",
            std::string("type='signal',sender='") + kName + "',interface='" + kName + "'",
            std::string("type='signal',sender='") + kName +
                "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                "path_namespace='" +
                kPath + "/devices'",
        };
        for (const std::string &match : matches) {
            sd_bus_slot *slot = nullptr;
            if (sd_bus_add_match(bus, &slot, match.c_str(), &Bus::onSignal, this) < 0) {
                close();
                return false;
            }
            slots.push_back(slot);
        }
        relist = true;
        return true;
    }
};

UPowerBatteries::UPowerBatteries(Outbox &outbox) : m_outbox(outbox), m_bus(std::make_unique<Bus>())
{
}

UPowerBatteries::~UPowerBatteries()
{
    m_jobs.stop();
}

void UPowerBatteries::begin()
{
    m_jobs.start([this] { run(); });
}

void UPowerBatteries::toProperty(uint32_t state, double percentage, uint8_t out[2])
{
    // UPower's states: 1 charging, 2 discharging, 3 empty, 4 fully charged, 5 pending charge,
    // 6 pending discharge; 0 unknown.
    static const uint8_t kStates[] = {0, 2, 1, 1, 3, 2, 1};
    out[1] = state < sizeof kStates ? kStates[state] : 0;
    const bool known = std::isfinite(percentage) && percentage >= 0 && percentage <= 100 &&
                       !(percentage < 0.5 && out[1] != 2);
    out[0] = known ? uint8_t(std::lround(percentage)) : 255;
    if (!known)
        out[1] = 0;
}

void UPowerBatteries::run()
{
    pthread_setname_np(pthread_self(), "kelv-upower");
    auto nextConnect = std::chrono::steady_clock::time_point();
    while (!m_jobs.stopping()) {
        if (!m_bus->bus && std::chrono::steady_clock::now() >= nextConnect) {
            if (!m_bus->open())
                nextConnect =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(kReconnectMs);
        }
        if (m_bus->bus) {
            int r = 0;
            while ((r = sd_bus_process(m_bus->bus, nullptr)) > 0) {
            }
            if (r < 0) {
                m_bus->close();
                m_devices.clear();
                publish(true);
                nextConnect =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(kReconnectMs);
            }
        }
        if (m_bus->bus && m_bus->relist) {
            m_bus->relist = false;
            m_bus->changed.clear();
            refresh();
        }
        if (m_bus->bus && !m_bus->changed.empty()) {
            const std::set<std::string> paths = std::move(m_bus->changed);
            m_bus->changed.clear();
            for (const std::string &path : paths)
                readDevice(path);
            publish(true);
        }
        m_jobs.runJobs();
        const int fd = m_bus->bus ? sd_bus_get_fd(m_bus->bus) : -1;
        const int events = m_bus->bus ? sd_bus_get_events(m_bus->bus) : 0;
        m_jobs.wait(fd, short(events > 0 ? events : POLLIN), fd >= 0 ? -1 : kReconnectMs);
    }
    m_bus->close();
}

// Lists UPower's devices again (it appeared, or added or removed one).
void UPowerBatteries::refresh()
{
    m_devices.clear();
    Message reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(m_bus->bus, kName, kPath, kName, "EnumerateDevices", &error,
                                     &reply.m, "");
    sd_bus_error_free(&error);
    std::vector<std::string> paths;
    if (r >= 0 && sd_bus_message_enter_container(reply.m, 'a', "o") >= 0) {
        const char *path = nullptr;
        while (sd_bus_message_read_basic(reply.m, 'o', &path) > 0 && paths.size() < 256)
            paths.push_back(path);
    }
    for (const std::string &path : paths)
        readDevice(path);
    publish(true);
}

void UPowerBatteries::readDevice(const std::string &path)
{
    m_devices.erase(path);
    Message reply;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r =
        sd_bus_call_method(m_bus->bus, kName, path.c_str(), "org.freedesktop.DBus.Properties",
                           "GetAll", &error, &reply.m, "s", kDeviceIface);
    sd_bus_error_free(&error);
    if (r < 0 || sd_bus_message_enter_container(reply.m, 'a', "{sv}") < 0)
        return;
    uint32_t type = 0, state = 0;
    double percentage = -1;
    int present = 1;
    std::string nativePath;
    while (sd_bus_message_enter_container(reply.m, 'e', "sv") > 0) {
        const char *name = nullptr, *contents = nullptr;
        char kind = 0;
        if (sd_bus_message_read_basic(reply.m, 's', &name) < 0 ||
            sd_bus_message_peek_type(reply.m, &kind, &contents) < 0 || !contents)
            return;
        const std::string n = name;
        const std::string c = contents;
        int ok = 0;
        if (n == "Type" && c == "u")
            ok = sd_bus_message_read(reply.m, "v", "u", &type);
        else if (n == "State" && c == "u")
            ok = sd_bus_message_read(reply.m, "v", "u", &state);
        else if (n == "Percentage" && c == "d")
            ok = sd_bus_message_read(reply.m, "v", "d", &percentage);
        else if (n == "IsPresent" && c == "b")
            ok = sd_bus_message_read(reply.m, "v", "b", &present);
        else if (n == "NativePath" && c == "s") {
            const char *text = nullptr;
            ok = sd_bus_message_read(reply.m, "v", "s", &text);
            if (ok > 0 && text)
                nativePath = std::string(text).substr(0, 4096);
        } else {
            ok = sd_bus_message_skip(reply.m, "v");
        }
        if (ok < 0 || sd_bus_message_exit_container(reply.m) < 0)
            return;
    }
    if (type != kTypeMouse || nativePath.empty())
        return;
    Device d;
    d.nativePath = nativePath;
    if (present)
        toProperty(state, percentage, d.value);
    m_devices[path] = d;
}

void UPowerBatteries::publish(bool announce)
{
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        changed = m_devices.size() != m_published.size();
        for (const auto &[path, d] : m_devices) {
            const auto it = m_published.find(path);
            changed = changed || it == m_published.end() || it->second.nativePath != d.nativePath ||
                      std::memcmp(it->second.value, d.value, 2) != 0;
        }
        m_published = m_devices;
    }
    if (changed && announce)
        m_outbox.postEvents(std::vector<uint32_t>(5, kBatteryChanged));
}

bool UPowerBatteries::battery(const Record &record, uint8_t out[2])
{
    const std::string hidraw = record.devicePath.substr(record.devicePath.rfind('/') + 1);
    const std::string hid = sysfs::hidDeviceOfHidraw(hidraw);
    if (hid.empty())
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto &[path, d] : m_published) {
        bool same = false;
        if (d.nativePath.front() == '/') {
            const std::string resolved = sysfs::resolve(d.nativePath);
            for (const std::string &p : {d.nativePath, resolved})
                same = same || (!p.empty() && p.compare(0, hid.size() + 1, hid + "/") == 0);
        } else if (d.nativePath.find('/') == std::string::npos) {
            same = sysfs::exists(hid + "/power_supply/" + d.nativePath);
        }
        if (same) {
            std::memcpy(out, d.value, 2);
            return true;
        }
    }
    return false;
}

} // namespace kelv::dc
