#include "libdc/razer/daemon_linux.h"

#include "libdc/razer/transaction_linux.h"
#include "libdc/sysfs_linux.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <grp.h>
#include <pthread.h>
#include <unistd.h>

namespace kelv::razer {

namespace {

constexpr auto kRetryPause = std::chrono::seconds(2);
// Without a signal to wait for (no bus, the daemon not installed or not startable, the
// batteries) the thread looks again once a minute, no more often.
constexpr auto kLookPause = std::chrono::seconds(60);
// The battery is read this often ($KELV_BATTERY_POLL_SECONDS may shorten it, for tests).
std::chrono::seconds batteryPause()
{
    const char *text = std::getenv("KELV_BATTERY_POLL_SECONDS");
    const long seconds = text ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds >= 1 && seconds <= 3600 ? seconds : 60);
}
constexpr int kBurst = 5;
// Tags of Razer mice: the upper half, so a report of a ratbagd mouse (tags from 1) never
// names one.
constexpr uint32_t kFirstTag = 128;
constexpr char kBeforeFirstLook[] = "looking";

// The daemon refuses to run for a user outside the plugdev group (root excepted).
bool userMayRunDaemon()
{
    if (::geteuid() == 0)
        return true;
    const group *plugdev = ::getgrnam("plugdev");
    if (!plugdev)
        return false;
    if (::getegid() == plugdev->gr_gid)
        return true;
    gid_t groups[256];
    const int n = ::getgroups(256, groups);
    return std::find(groups, groups + std::max(n, 0), plugdev->gr_gid) != groups + std::max(n, 0);
}

bool driverLoaded()
{
    const std::string root = dc::sysfs::root();
    return dc::sysfs::exists(root + "/module/razermouse") ||
           dc::sysfs::exists(root + "/bus/hid/drivers/razermouse");
}

// Whether a USB device of the vendor whose mice the daemon serves (0x1532) is plugged in.
bool vendorHardware()
{
    const std::string folder = dc::sysfs::root() + "/bus/usb/devices";
    for (const std::string &name : dc::sysfs::names(folder)) {
        std::ifstream in(folder + "/" + name + "/idVendor");
        std::string vendor;
        if (in >> vendor && (vendor == "1532"))
            return true;
    }
    return false;
}

} // namespace

void postBurst(dc::Outbox &outbox, uint32_t event)
{
    outbox.postEvents(std::vector<uint32_t>(kBurst, event));
}

Daemon::Daemon(Bus &bus, dc::JobThread &jobs, dc::Outbox &outbox)
    : m_bus(bus), m_jobs(jobs), m_outbox(outbox),
      m_stateText(serviceState(kBeforeFirstLook, 0, false, false))
{
}

std::vector<dc::Record> Daemon::records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<dc::Record> out;
    for (const Snapshot &s : m_snapshot)
        out.push_back(s.record);
    return out;
}

bool Daemon::find(const std::string &key, Snapshot *out) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Snapshot &s : m_snapshot) {
        if (s.key == key) {
            if (out)
                *out = s;
            return true;
        }
    }
    return false;
}

std::string Daemon::stateText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateRead = true;
    return m_stateText;
}

Mouse *Daemon::byKey(const std::string &key)
{
    for (auto &[serial, m] : m_mice) {
        if (dc::lowerAscii(m.identity.hardwareId) == key)
            return &m;
    }
    return nullptr;
}

void Daemon::setLastResult(Mouse &m, int32_t result)
{
    m.lastResult = result;
    publish();
}

void Daemon::setBattery(Mouse &m, const Battery &battery)
{
    if (battery == m.battery)
        return;
    m.battery = battery;
    publish();
    postBurst(m_outbox, kBatteryChanged);
}

void Daemon::run()
{
    // Named, so its wake-ups can be told from the program's own (bench_razer).
    pthread_setname_np(pthread_self(), "kelv-openrazer");
    while (!m_jobs.stopping()) {
        if (!m_bus.connected() && Clock::now() >= m_nextConnect)
            connect();
        if (m_bus.connected() && !m_bus.process())
            lostBus();
        handleNotices();
        m_jobs.runJobs();
        if (m_bus.connected() && !m_bus.process())
            lostBus();
        handleNotices();
        if (m_retryAt != Clock::time_point() && Clock::now() >= m_retryAt) {
            m_retryAt = Clock::time_point();
            refresh();
        }
        if (m_state == "stopped" && Clock::now() >= m_nextStart) {
            m_nextStart = Clock::now() + kLookPause;
            m_bus.startDaemon();
        }
        if (m_nextBattery != Clock::time_point() && Clock::now() >= m_nextBattery)
            pollBatteries();
        waitForWork();
    }
    m_mice.clear();
    m_order.clear();
    publish();
    m_bus.disconnect();
}

void Daemon::waitForWork()
{
    int timeoutMs = -1;
    auto until = [&timeoutMs](Clock::time_point t) {
        if (t == Clock::time_point())
            return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
        const int wait = std::max<int>(int(ms.count()) + 1, 0);
        timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
    };
    const int fd = m_bus.connected() ? m_bus.fd() : -1;
    if (fd < 0)
        until(m_nextConnect);
    until(m_retryAt);
    if (m_state == "stopped")
        until(m_nextStart);
    until(m_nextBattery);
    const uint64_t deadline = m_bus.connected() ? m_bus.deadline() : UINT64_MAX;
    if (deadline != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
        const int ms = deadline <= nowUsec
                           ? 0
                           : int(std::min<uint64_t>((deadline - nowUsec) / 1000 + 1, 60000));
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }
    m_jobs.wait(fd, fd >= 0 ? m_bus.events() : short(0), timeoutMs);
}

void Daemon::connect()
{
    if (!m_bus.connect()) {
        m_nextConnect = Clock::now() + kLookPause;
        setState("nobus");
        return;
    }
    refresh();
}

void Daemon::lostBus()
{
    m_bus.disconnect();
    while (!m_order.empty())
        drop(m_order.front());
    setState("nobus");
    m_nextConnect = Clock::now() + kLookPause;
}

void Daemon::handleNotices()
{
    bool again = false;
    for (const Notice n : m_bus.takeNotices()) {
        if (n == Notice::DaemonGone)
            gone();
        else
            again = true;
    }
    if (again)
        refresh();
}

void Daemon::refresh()
{
    m_bus.beginRequest();
    bool owned = false;
    const int32_t r = m_bus.nameOwned(&owned);
    if (r == DC_ACCESS_DENIED) {
        while (!m_order.empty())
            drop(m_order.front());
        setState("denied");
    } else if (r != DC_OK) {
        m_retryAt = Clock::now() + kRetryPause;
    } else if (owned) {
        enumerate();
    } else {
        gone();
    }
}

// Not running: not installed ("absent"), installed but not started ("stopped": the bus is asked
// to start it), or refusing this user, who is not in the plugdev group ("plugdev").
void Daemon::gone()
{
    while (!m_order.empty())
        drop(m_order.front());
    m_bus.beginRequest();
    bool activatable = false;
    m_bus.nameActivatable(&activatable);
    const std::string before = m_state;
    setState(!userMayRunDaemon() ? "plugdev" : activatable ? "stopped" : "absent");
    if (m_state != before && m_state == "stopped")
        m_nextStart = Clock::now(); // ask the bus to start it now, then once a minute
    if (m_state != "stopped")
        m_retryAt = Clock::now() + kLookPause; // installed, or the user let in, while kelv runs
}

void Daemon::enumerate()
{
    m_bus.beginRequest();
    std::vector<std::string> serials;
    const int32_t r = m_bus.serials(&serials);
    if (r == DC_ACCESS_DENIED) {
        while (!m_order.empty())
            drop(m_order.front());
        setState("denied");
        return;
    }
    if (r == DC_NOT_PRESENT) {
        gone();
        return;
    }
    if (r != DC_OK) {
        // Not the daemon's interface, or no answer: keep what is listed and ask again.
        m_retryAt = Clock::now() + kRetryPause;
        if (m_state.empty() || m_state == kBeforeFirstLook)
            setState(kBeforeFirstLook);
        return;
    }
    const std::vector<std::string> listed = m_order;
    for (const std::string &serial : listed) {
        if (std::find(serials.begin(), serials.end(), serial) == serials.end())
            drop(serial);
    }
    bool incomplete = false;
    std::map<std::pair<uint32_t, uint32_t>, size_t> madeUp; // per model: made-up serials seen
    for (const std::string &serial : serials) {
        Mouse m;
        m.device.serial = serial;
        m.device.path = std::string(kRootPath) + "/device/" + serial;
        if (!sd_bus_object_path_is_valid(m.device.path.c_str()))
            continue;
        const bool known = m_mice.count(serial) != 0;
        if (!known && m_mice.size() >= kMaxMice)
            continue;
        m_bus.beginRequest();
        const int32_t read = known ? DC_OK : m_transactions->readDevice(&m.device);
        if (read != DC_OK) {
            // Not a mouse (DC_BAD_ARGUMENT), gone again, or no answer: not listed now.
            incomplete = incomplete || read == DC_DEVICE_FAULT;
            continue;
        }
        const Device &d = known ? m_mice[serial].device : m.device;
        std::string port;
        if (serialIsMadeUp(serial)) {
            const size_t k = madeUp[{d.vid, d.pid}]++;
            const auto devices = dc::sysfs::hidDevices(d.vid, d.pid, "device_type");
            if (k < devices.size())
                port = dc::sysfs::usbPort(devices[k]);
        }
        if (!known) {
            m.identity = identify(d.vid, d.pid, serial, port);
            add(serial, std::move(m));
        }
    }
    if (incomplete)
        m_retryAt = Clock::now() + kRetryPause;
    setState("running");
}

void Daemon::add(const std::string &serial, Mouse m)
{
    const Identity base = m.identity;
    for (int n = 1;; ++n) {
        m.identity = base;
        if (n > 1)
            m.identity.hardwareId += "&Inst_" + std::to_string(n);
        bool taken = false;
        for (const auto &[s, other] : m_mice)
            taken = taken || other.identity.hardwareId == m.identity.hardwareId;
        if (!taken)
            break;
    }
    for (uint32_t tag = kFirstTag; tag < 256 && m.tag == 0; ++tag) {
        bool taken = false;
        for (const auto &[s, other] : m_mice)
            taken = taken || other.tag == tag;
        if (!taken)
            m.tag = uint8_t(tag);
    }
    Mouse &added = m_mice.emplace(serial, std::move(m)).first->second;
    m_order.push_back(serial);
    if (added.device.battery) {
        m_bus.beginRequest();
        Battery battery;
        if (m_transactions->readBattery(added, &battery) == DC_OK)
            added.battery = battery;
        if (m_nextBattery == Clock::time_point())
            m_nextBattery = Clock::now() + batteryPause();
    }
    publish();
    postBurst(m_outbox, kArrived);
}

void Daemon::drop(std::string serial)
{
    m_order.erase(std::remove(m_order.begin(), m_order.end(), serial), m_order.end());
    if (m_mice.erase(serial)) {
        publish();
        postBurst(m_outbox, kRemoved);
    }
}

void Daemon::pollBatteries()
{
    bool any = false;
    for (const std::string &serial : std::vector<std::string>(m_order)) {
        auto it = m_mice.find(serial);
        if (it == m_mice.end() || !it->second.device.battery)
            continue;
        any = true;
        m_bus.beginRequest();
        Battery battery;
        const int32_t r = m_transactions->readBattery(it->second, &battery);
        if (r == DC_OK)
            setBattery(it->second, battery);
        else if (r == DC_NOT_PRESENT)
            m_retryAt = Clock::now(); // the mouse went away: list again
    }
    m_nextBattery = any ? Clock::now() + batteryPause() : Clock::time_point();
}

// A change of the state reaches the page as event 3; the first state, found while the
// program starts, does not, unless the page read the state before it was found.
void Daemon::setState(const std::string &state)
{
    const bool first = m_state.empty();
    const bool changed = state != m_state;
    m_state = state;
    publish();
    bool readBefore = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        readBefore = m_stateRead;
    }
    if (first ? readBefore && state != kBeforeFirstLook : changed)
        postBurst(m_outbox, kStateChanged);
}

void Daemon::publish()
{
    std::vector<Snapshot> snapshot;
    for (const std::string &serial : m_order) {
        const Mouse &m = m_mice.at(serial);
        Snapshot s;
        s.record.deviceId = m.identity.deviceId;
        s.record.hardwareId = m.identity.hardwareId;
        s.record.devicePath = m.device.path;
        // The SN field holds 13 characters: the end of the serial, its most distinctive part.
        const std::string sn = asciiText(serial, 64);
        s.record.sn = sn.size() > 13 ? sn.substr(sn.size() - 13) : sn;
        s.record.version = asciiText(m.device.firmware, 16);
        s.record.name = m.device.name;
        char model[16];
        std::snprintf(model, sizeof model, "%04x:%04x", m.device.vid & 0xffff,
                      m.device.pid & 0xffff);
        s.record.model = model;
        s.record.flags = DC_FLAG_CALLS_WAIT | DC_FLAG_SN_NOT_SERIAL;
        s.key = dc::lowerAscii(m.identity.hardwareId);
        s.description = describe(m.device, m.tag);
        s.lastResult = m.lastResult;
        s.battery = m.battery;
        snapshot.push_back(std::move(s));
    }
    std::sort(snapshot.begin(), snapshot.end(), [](const Snapshot &a, const Snapshot &b) {
        return a.record.hardwareId < b.record.hardwareId;
    });
    const bool driver = !m_mice.empty() || driverLoaded();
    const bool hardware = !m_mice.empty() || vendorHardware();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_snapshot = std::move(snapshot);
    if (!m_state.empty())
        m_stateText = serviceState(m_state, int(m_snapshot.size()), driver, hardware);
}

} // namespace kelv::razer
