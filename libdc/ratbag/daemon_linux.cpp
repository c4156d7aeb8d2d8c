#include "libdc/ratbag/daemon_linux.h"

#include "libdc/job_thread_linux.h"
#include "libdc/ratbag/listing.h"
#include "libdc/ratbag/slot_store.h"
#include "libdc/ratbag/transaction_linux.h"
#include "libdc/ratbag/usb_identity_linux.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iterator>

namespace kelv::ratbag {

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kReconnectPause{2000};
constexpr milliseconds kRetryPause{2000};
constexpr milliseconds kInstallPause{5000}; // between looks for an install
// A daemon that fails to start (the bus cannot start it, or it goes away within
// kCrashWindow) is started again after these pauses, then no more until the user asks:
// systemd's own start limit (5 starts in 10 s) is not reached, and the journal does not fill.
constexpr milliseconds kStartPauses[] = {milliseconds(30000), milliseconds(120000)};
constexpr int kMaxStartFailures = 3;
constexpr milliseconds kCrashWindow{30000};
// A mouse whose objects could not be read is read again after 2, 4, 8, 16, 32 s, then left
// alone until it is plugged in again or the daemon starts anew.
constexpr milliseconds kUnreadablePause{2000};
constexpr int kMaxUnreadableTries = 6;
// Every timed step (reconnect, retry, start, install look, bus timeouts) sets the wait's end
// itself; idle, the thread still looks once in this while.
constexpr int kIdlePollMs = 30000;
constexpr uint8_t kReportStage = 0x01, kReportResync = 0x05, kReportProfile = 0x06;

int pauseDivisor()
{
    static const int divisor = [] {
        const char *text = std::getenv("KELV_RATBAG_PAUSE_DIVISOR");
        const long value = text ? std::strtol(text, nullptr, 10) : 1;
        return int(std::clamp<long>(value, 1, 1000));
    }();
    return divisor;
}

} // namespace

std::chrono::milliseconds pause(std::chrono::milliseconds full)
{
    return full / pauseDivisor();
}

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

bool Notices::dirtySince(size_t mark, const std::vector<std::string> &profilePaths) const
{
    for (size_t i = mark; i < m_backlog.size(); ++i) {
        if (m_backlog[i].kind == Notice::Kind::ProfileDirty &&
            std::find(profilePaths.begin(), profilePaths.end(), m_backlog[i].path) !=
                profilePaths.end())
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
               const SlotStore &slots, dc::JobThread &jobs, dc::Outbox &outbox)
    : m_bus(bus), m_notices(notices), m_listing(listing), m_transactions(transactions),
      m_slots(slots), m_jobs(jobs), m_outbox(outbox)
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
        const auto now = Clock::now();
        const bool retry = m_retryAt != Clock::time_point() && now >= m_retryAt;
        const bool reread = m_unreadableAt != Clock::time_point() && now >= m_unreadableAt;
        if (retry || reread) {
            if (retry)
                m_retryAt = Clock::time_point();
            m_unreadableAt = Clock::time_point();
            refreshDaemon();
        }
        startIfDue();
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
    until(m_unreadableAt);
    if (m_state == "stopped" && m_canStart && !m_startPending &&
        m_startFailures < kMaxStartFailures)
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
        m_nextConnect = Clock::now() + pause(kReconnectPause);
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
    // Another bus is another system: whether ratbagd ran or failed to start on this one says
    // nothing there.
    m_seenRunning = false;
    m_canStart = false;
    m_startFailures = 0;
    m_startPending = false;
    m_lastStartAt = m_nextStart = Clock::time_point();
    m_listing.setStartGivenUp(false);
    setState("nobus", 0);
    m_nextConnect = Clock::now() + pause(kReconnectPause);
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
        case Notice::Kind::ProfileDirty:
            break;
        case Notice::Kind::StartFailed:
            m_startPending = false;
            m_lastStartAt = Clock::time_point(); // counted here, not again when found gone
            startFailed();
            break;
        case Notice::Kind::Started:
            m_startPending = false;
            refresh = true;
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
            m_retryAt = Clock::now() + pause(kRetryPause);
        }
        return;
    }
    if (owned) {
        enumerate();
        return;
    }
    daemonGone();
}

// The daemon does not run. "stopped" when the bus can start it, and when kelv saw it run (it
// went away: it has stopped, whether or not the bus can start it again); else "absent".
void Daemon::daemonGone()
{
    const bool wasRunning = m_state == "running";
    m_listing.dropAll(true);
    m_bus.beginRequest();
    bool activatable = false;
    m_bus.nameActivatable(&activatable);
    m_canStart = activatable;
    // Gone soon after it came up, or soon after kelv asked the bus to start it: a start that
    // failed (counted once). Gone after it ran a while: it is started again at once.
    const auto now = Clock::now();
    const bool startedLately = m_lastStartAt != Clock::time_point() && !m_startPending &&
                               now - m_lastStartAt < pause(kCrashWindow);
    // (Only where the bus can start it: a daemon started by hand is not started by kelv.)
    if (activatable && ((wasRunning && now - m_runningSince < pause(kCrashWindow)) ||
                        (!wasRunning && startedLately))) {
        m_lastStartAt = Clock::time_point();
        startFailed();
    } else if (wasRunning) {
        m_startFailures = 0;
        m_nextStart = Clock::time_point();
    }
    setState(activatable || m_seenRunning ? "stopped" : "absent", 0);
    // ratbagd installed (or started by hand) while kelv runs: looked for again.
    if (!activatable)
        m_retryAt = Clock::now() + pause(kInstallPause);
}

// Asks the bus to start a stopped daemon when the next start is due.
void Daemon::startIfDue()
{
    if (m_startAsked.exchange(false)) {
        m_startFailures = 0;
        m_nextStart = Clock::time_point();
        m_listing.setStartGivenUp(false);
        if (m_state != "running")
            refreshDaemon();
    }
    if (m_state != "stopped" || !m_canStart || m_startPending ||
        m_startFailures >= kMaxStartFailures || Clock::now() < m_nextStart)
        return;
    m_startPending = true;
    m_lastStartAt = Clock::now();
    if (!m_bus.startDaemon()) {
        m_startPending = false;
        m_lastStartAt = Clock::time_point();
        startFailed();
    }
}

void Daemon::startFailed()
{
    ++m_startFailures;
    if (m_startFailures >= kMaxStartFailures) {
        m_listing.setStartGivenUp(true);
        return;
    }
    const size_t step = std::min<size_t>(size_t(m_startFailures) - 1, std::size(kStartPauses) - 1);
    m_nextStart = Clock::now() + pause(kStartPauses[step]);
}

void Daemon::askToStart()
{
    m_startAsked = true;
    m_jobs.wake();
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
        m_retryAt = Clock::now() + pause(kRetryPause);
        return;
    }
    if (api != 1 && api != 2) {
        m_listing.dropAll(true);
        setState("unsupported", api);
        return;
    }
    if (m_state != "running") {
        m_runningSince = Clock::now();
        m_seenRunning = true;
        m_listing.setStartGivenUp(false);
    } else if (Clock::now() - m_runningSince >= pause(kCrashWindow)) {
        m_startFailures = 0; // it has run for a while: starting it works
    }
    m_api = api;
    m_listing.keepOnly(paths);
    for (const std::string &path : paths)
        readNewDevice(path, api);
    // The next look at a mouse that could not be read.
    m_unreadableAt = Clock::time_point();
    for (const auto &[path, u] : m_listing.unlisted()) {
        if (u.shown.retrying &&
            (m_unreadableAt == Clock::time_point() || u.nextTry < m_unreadableAt))
            m_unreadableAt = u.nextTry;
    }
    setState("running", api);
}

// Lists a device that arrived when it is a mouse kelv can read. A device that is no mouse is
// remembered (and never read again while it stays); one whose objects cannot be read (they
// time out, or are nonsense, or a mouse without resolutions) is read again after a growing
// pause, then left alone: it is not read over the system bus every few seconds for ever.
void Daemon::readNewDevice(const std::string &path, int api)
{
    if (m_listing.byPath(path))
        return;
    const auto known = m_listing.unlisted().find(path);
    Unlisted u = known == m_listing.unlisted().end() ? Unlisted() : known->second;
    if (known != m_listing.unlisted().end() && (!u.shown.retrying || Clock::now() < u.nextTry))
        return;
    m_bus.beginRequest();
    Mouse m;
    const int32_t read = m_bus.readDevice(path, api, &m.device);
    if (read == DC_NOT_PRESENT || read == DC_ACCESS_DENIED)
        return; // gone again; a refusal shows in the service state's next look
    const DeviceType kind = read == DC_OK ? kindOf(m.device) : DeviceMouse;
    u.shown.name = m.device.name.empty() ? path.substr(path.rfind('/') + 1) : m.device.name;
    if (kind != DeviceMouse) {
        u.shown.why = kind == DeviceKeyboard ? "keyboard" : "other";
        u.shown.retrying = false;
        m_listing.setUnlisted(path, u);
        return;
    }
    if (read == DC_OK) {
        m_listing.add(path, std::move(m), usbIdentityKey(path), m_slots.folder());
        return;
    }
    ++u.tries;
    u.shown.why = "unreadable";
    u.shown.retrying = u.tries < kMaxUnreadableTries;
    u.nextTry = Clock::now() + pause(kUnreadablePause * (1 << std::min(u.tries - 1, 10)));
    m_listing.setUnlisted(path, u);
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
    if (state == "running")
        m_startPending = false;
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
