#include "libdc/ratbag/daemon_linux.h"

#include "libdc/job_thread_linux.h"
#include "libdc/ratbag/listing.h"
#include "libdc/ratbag/transaction_linux.h"

#include <algorithm>
#include <ctime>

namespace kelv::ratbag {

namespace {

constexpr auto kReconnectPause = std::chrono::seconds(2);
constexpr auto kRetryPause = std::chrono::seconds(2);
constexpr auto kStartPause = std::chrono::seconds(30);  // between requests to start it
constexpr auto kInstallPause = std::chrono::seconds(5); // between looks for an install
// Every timed step (reconnect, retry, start, install look, bus timeouts) sets the wait's end
// itself; idle, the thread still looks once in this while.
constexpr int kIdlePollMs = 30000;
constexpr uint8_t kReportStage = 0x01, kReportResync = 0x05, kReportProfile = 0x06;

} // namespace

// --- Notices ------------------------------------------------------------------------------

void Notices::collect()
{
    if (!m_bus.connected())
        return;
    if (!m_bus.process()) {
        // Handled by the loop (lostBus) once the request is over.
        return;
    }
    for (Notice &n : m_bus.takeNotices())
        m_backlog.push_back(std::move(n));
}

bool Notices::resyncSince(size_t mark, const std::string &devicePath) const
{
    for (size_t i = mark; i < m_backlog.size(); ++i) {
        if (m_backlog[i].kind == Notice::Kind::Resync && m_backlog[i].path == devicePath)
            return true;
    }
    return false;
}

std::vector<Notice> Notices::take()
{
    std::vector<Notice> notices(m_backlog.begin(), m_backlog.end());
    m_backlog.clear();
    return notices;
}

// --- Daemon -------------------------------------------------------------------------------

Daemon::Daemon(Bus &bus, Notices &notices, Listing &listing, Transactions &transactions,
               dc::JobThread &jobs, dc::Outbox &outbox)
    : m_bus(bus), m_notices(notices), m_listing(listing), m_transactions(transactions),
      m_jobs(jobs), m_outbox(outbox)
{
}

void Daemon::run()
{
    while (!m_jobs.stopping()) {
        if (!m_bus.connected() && Clock::now() >= m_nextConnect)
            connect();
        if (m_bus.connected() && !m_bus.process())
            lostBus();
        m_notices.collect();
        handleNotices();
        m_jobs.runJobs();
        if (m_bus.connected() && !m_bus.process())
            lostBus();
        m_notices.collect();
        handleNotices();
        if (m_retryAt != Clock::time_point() && Clock::now() >= m_retryAt) {
            m_retryAt = Clock::time_point();
            refreshDaemon();
        }
        if (m_state == "stopped" && Clock::now() >= m_nextStart) {
            m_nextStart = Clock::now() + kStartPause;
            m_bus.startDaemon();
        }
        waitForWork();
    }
    m_listing.dropAll(false);
    m_bus.disconnect();
}

// Sleeps until a request comes, the bus has something, or the next timed step is due.
void Daemon::waitForWork()
{
    int timeoutMs = kIdlePollMs;
    auto until = [&timeoutMs](Clock::time_point t) {
        if (t == Clock::time_point())
            return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
        timeoutMs = std::clamp<int>(int(ms.count()) + 1, 0, timeoutMs);
    };
    const int fd = m_bus.connected() ? m_bus.fd() : -1;
    if (fd < 0)
        until(m_nextConnect);
    until(m_retryAt);
    if (m_state == "stopped")
        until(m_nextStart);
    const uint64_t deadline = m_bus.connected() ? m_bus.deadline() : UINT64_MAX;
    if (deadline != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
        timeoutMs = deadline <= nowUsec
                        ? 0
                        : std::min<int>(timeoutMs, int((deadline - nowUsec) / 1000) + 1);
    }
    m_jobs.wait(fd, fd >= 0 ? m_bus.events() : short(0), timeoutMs);
}

void Daemon::connect()
{
    if (!m_bus.connect()) {
        m_nextConnect = Clock::now() + kReconnectPause;
        setState("nobus", 0);
        return;
    }
    refreshDaemon();
}

void Daemon::lostBus()
{
    m_bus.disconnect();
    m_notices.clear();
    m_listing.dropAll(true);
    setState("nobus", 0);
    m_nextConnect = Clock::now() + kReconnectPause;
}

void Daemon::handleNotices()
{
    bool refresh = false;
    for (const Notice &n : m_notices.take()) {
        switch (n.kind) {
        case Notice::Kind::OwnerChanged:
            if (n.owner.empty())
                daemonGone();
            else
                refresh = true;
            break;
        case Notice::Kind::DevicesChanged:
            refresh = true;
            break;
        case Notice::Kind::Resync:
            resynced(n.path);
            break;
        case Notice::Kind::ResolutionActive:
            stageChanged(n.path);
            break;
        case Notice::Kind::ProfileActive:
            profileChanged(n.path);
            break;
        }
    }
    if (refresh)
        refreshDaemon();
}

// Asks the bus whether the daemon runs, and lists its mice when it does.
void Daemon::refreshDaemon()
{
    m_bus.beginRequest();
    bool owned = false;
    const int32_t r = m_bus.nameOwned(&owned);
    if (r != DC_OK) {
        if (r == DC_ACCESS_DENIED) {
            m_listing.dropAll(true);
            setState("denied", 0);
        } else {
            m_retryAt = Clock::now() + kRetryPause;
        }
        return;
    }
    if (owned) {
        enumerate();
        return;
    }
    daemonGone();
}

void Daemon::daemonGone()
{
    m_listing.dropAll(true);
    m_bus.beginRequest();
    bool activatable = false;
    m_bus.nameActivatable(&activatable);
    setState(activatable ? "stopped" : "absent", 0);
    // ratbagd installed while kelv runs: the bus can start it from then on.
    if (!activatable)
        m_retryAt = Clock::now() + kInstallPause;
}

void Daemon::enumerate()
{
    m_bus.beginRequest();
    int api = 0;
    int32_t r = m_bus.apiVersion(&api);
    std::vector<std::string> paths;
    if (r == DC_OK && (api == 1 || api == 2))
        r = m_bus.devicePaths(&paths);
    if (r == DC_ACCESS_DENIED) {
        m_listing.dropAll(true);
        setState("denied", 0);
        return;
    }
    if (r == DC_NOT_PRESENT) {
        daemonGone();
        return;
    }
    if (r != DC_OK) {
        // An answer that is not ratbagd's interface: no mice from it. No answer at all:
        // keep what is listed. Either way, ask again.
        if (!m_bus.timedOut()) {
            m_listing.dropAll(true);
            setState("unsupported", 0);
        }
        m_retryAt = Clock::now() + kRetryPause;
        return;
    }
    if (api != 1 && api != 2) {
        m_listing.dropAll(true);
        setState("unsupported", api);
        return;
    }
    m_listing.keepOnly(paths);
    bool incomplete = false;
    for (const std::string &path : paths) {
        if (m_listing.byPath(path))
            continue;
        m_bus.beginRequest();
        Mouse m;
        const int32_t read = m_bus.readDevice(path, &m.device);
        if (read != DC_OK) {
            // A mouse whose objects cannot be read (gone again, or nonsense) is not listed.
            incomplete = incomplete || read == DC_DEVICE_FAULT;
            continue;
        }
        m_listing.add(path, std::move(m));
    }
    if (incomplete)
        m_retryAt = Clock::now() + kRetryPause;
    setState("running", api);
}

// A change of the state reaches the page as event 3; the first state, found while the
// program starts, does not (the page reads it when it loads). Unless the page read the
// state before it was found (a daemon slow to answer when kelv starts): it then holds
// what was answered before the first look and must hear of the first state too.
void Daemon::setState(const std::string &state, int api)
{
    const bool first = m_state.empty();
    const bool changed = state != m_state;
    m_state = state;
    const bool readBefore = m_listing.setService(state, api);
    if (first ? readBefore && state != kBeforeFirstLook : changed)
        postBurst(m_outbox, kStateChanged);
}

void Daemon::report(const Mouse &m, uint8_t kind, uint8_t a, uint8_t b, uint8_t c)
{
    m_outbox.postData(std::array<uint8_t, 8>{kind, a, b, c, 0, 0, 0, m.tag});
}

void Daemon::resynced(const std::string &path)
{
    Mouse *m = m_listing.byPath(path);
    if (!m)
        return;
    m_transactions.resynced(*m);
    report(*m, kReportResync, 1);
}

// A resolution became the active one of its profile: the mouse's active stage changed
// when that profile is the active one (another program may set up the others).
void Daemon::stageChanged(const std::string &resolutionPath)
{
    for (auto &[path, m] : m_listing.mice()) {
        for (size_t k = 0; k < m.device.profiles.size(); ++k) {
            const Profile &p = m.device.profiles[k];
            for (size_t i = 0; i < p.resolutions.size(); ++i) {
                if (p.resolutions[i].path != resolutionPath)
                    continue;
                m_bus.beginRequest();
                Values values;
                if (m_bus.readValues(m.device, GroupProfiles, &values) == DC_OK &&
                    std::max(values.activeProfile, 0) != int(k))
                    return;
                uint32_t dpi = 0;
                m_bus.resolutionDpi(resolutionPath, &dpi);
                dpi = std::min<uint32_t>(dpi, 0xffff);
                report(m, kReportStage, uint8_t(i), uint8_t(dpi & 0xff), uint8_t(dpi >> 8));
                return;
            }
        }
    }
}

void Daemon::profileChanged(const std::string &profilePath)
{
    for (auto &[path, m] : m_listing.mice()) {
        for (size_t i = 0; i < m.device.profiles.size(); ++i) {
            if (m.device.profiles[i].path == profilePath) {
                m.assignedProfile = -1;
                report(m, kReportProfile, uint8_t(i));
                return;
            }
        }
    }
}

} // namespace kelv::ratbag
