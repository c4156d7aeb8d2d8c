#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_bus.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_macro.h"
#include "libdc/ratbag/ratbag_service.h"
#include "libdc/sim_files.h"
#include "libdc/sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kelv::ratbag {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDefaultBusName[] = "org.freedesktop.ratbag1";
constexpr char kServiceId[] = "ratbag\\";
constexpr int kBurst = 5; // events per arrival or removal, like a composite device
constexpr uint32_t kArrived = 1, kRemoved = 2, kStateChanged = 3;
constexpr auto kReconnectPause = std::chrono::seconds(2);
constexpr auto kRetryPause = std::chrono::seconds(2);
constexpr auto kStartPause = std::chrono::seconds(30);  // between requests to start it
constexpr auto kInstallPause = std::chrono::seconds(5); // between looks for an install
// Every timed step (reconnect, retry, start, install look, bus timeouts) sets the wait's end
// itself; idle, the thread still looks once in this while.
constexpr int kIdlePollMs = 30000;
constexpr uint8_t kReportStage = 0x01, kReportResync = 0x05, kReportProfile = 0x06;
// The service state answered until the service has had its first answer: while kelv starts,
// and for as long as a daemon that owns its name does not answer (hung, or busy at login).
// Not "nobus": the page would tell the user there is no system bus.
constexpr char kBeforeFirstLook[] = "looking";

std::string busNameFromEnvironment()
{
    const char *name = std::getenv("KELV_RATBAG_BUS_NAME");
    return name && *name ? std::string(name) : std::string(kDefaultBusName);
}

// A hardware ID as lower-case ASCII ("" when it holds anything else).
std::string idKey(const char16_t *id)
{
    std::string key;
    for (size_t i = 0; id && id[i] != 0; ++i) {
        if (i >= 255 || id[i] > 0x7e || id[i] < 0x20)
            return std::string();
        char c = char(id[i]);
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        key += c;
    }
    return key;
}

std::string lower(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return text;
}

// A file name for a hardware ID: letters and digits, the rest as '-'.
std::string fileSlug(const std::string &hardwareId)
{
    std::string slug;
    for (const char c : lower(hardwareId).substr(sizeof kServiceId - 1))
        slug += (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? c : '-';
    return slug;
}

void copyOut(const std::vector<uint8_t> &bytes, uint8_t *buf, uint32_t size)
{
    const uint32_t n = std::min<uint32_t>(size, uint32_t(bytes.size()));
    if (n)
        std::memcpy(buf, bytes.data(), n);
    std::memset(buf + n, 0, size - n);
}

// A mouse as the service's thread keeps it.
struct Mouse
{
    Device device;
    Identity identity;
    uint8_t tag = 0;
    std::vector<uint8_t> memory; // the macro slots' onboard memory, loaded on first use
    std::vector<int> assigned;   // per button of the active profile: the slot kelv gave it
    int assignedProfile = -1;
    bool committed = false;   // kelv committed and no write came since
    bool uncommitted = false; // the daemon may hold values it did not write to the mouse
    int32_t lastResult = DC_OK;
    // The result of a read of a setting the daemon failed since the stage count was last read
    // (DC_OK: none): the count then fails once, so a reader that reads it last knows the
    // zeros it got in between were no values of the mouse.
    int32_t missedRead = DC_OK;
};

// A request waiting for the service's thread.
struct Job
{
    std::function<int32_t()> work;
    std::promise<int32_t> result;
};

// What other threads read without waiting for the service's thread.
struct Snapshot
{
    Listed listed;
    std::string key; // the hardware ID in lower case
    std::string description;
    int32_t lastResult = DC_OK;
};

} // namespace

class Service::Impl
{
public:
    Impl() : m_busName(busNameFromEnvironment()) {}
    ~Impl() { stop(); }

    void start(EventSink events, DataSink data, const std::string &folder)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_folder = folder;
        if (m_thread.joinable() || m_stopping)
            return;
        m_events = std::move(events);
        m_data = std::move(data);
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_serviceState = serviceState(kBeforeFirstLook, m_busName, 0, 0);
        m_thread = std::thread([this] { loop(); });
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        wake();
        if (m_thread.joinable())
            m_thread.join();
        if (m_wake >= 0)
            ::close(m_wake);
        m_wake = -1;
        failPendingJobs();
    }

    // --- what other threads read ---------------------------------------------------------

    std::vector<Listed> listed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Listed> out;
        for (const Snapshot &s : m_snapshot)
            out.push_back(s.listed);
        return out;
    }

    bool findSnapshot(const std::string &key, Snapshot *out) const
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

    std::string serviceStateText() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stateRead = true;
        return m_serviceState;
    }

    // Runs work on the service's thread and waits for its result.
    int32_t perform(std::function<int32_t()> work)
    {
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        std::future<int32_t> result = job->result.get_future();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_thread.joinable() || m_stopping)
                return DC_NOT_PRESENT;
            if (std::this_thread::get_id() == m_thread.get_id())
                return job->work();
            m_jobs.push_back(job);
        }
        wake();
        return result.get();
    }

    // --- requests (on the service's thread) --------------------------------------------------

    Mouse *mouse(const std::string &key)
    {
        for (auto &[path, m] : m_mice) {
            if (lower(m.identity.hardwareId) == key)
                return &m;
        }
        return nullptr;
    }

    int32_t readSetting(const std::string &key, uint32_t propId, std::vector<uint8_t> *bytes)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        const unsigned groups = groupsFor(propId);
        if (groups == 0)
            return DC_BAD_ARGUMENT;
        const int32_t missed = propId == 1 ? std::exchange(m->missedRead, DC_OK) : DC_OK;
        m_bus->beginRequest();
        Values values;
        if (const int32_t r = m_bus->readValues(m->device, groups, &values)) {
            if (propId != 1)
                m->missedRead = r;
            return r;
        }
        if (missed != DC_OK)
            return missed;
        followProfile(*m, values);
        loadMemory(*m);
        return readProperty(m->device, values, SlotView{&m->memory, &m->assigned}, propId, bytes);
    }

    int32_t writeSetting(const std::string &key, uint32_t propId, const uint8_t *buf, uint32_t size)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        if (groupsFor(propId) == 0)
            return finish(*m, DC_BAD_ARGUMENT);
        loadMemory(*m);
        std::vector<int> used;
        const int32_t r = transact(
            *m, groupsFor(propId), false, [&](const Values &values, std::vector<Change> *changes) {
                return planWrite(m->device, values, SlotView{&m->memory, &m->assigned}, propId, buf,
                                 size, changes, &used);
            });
        if (r == DC_OK) {
            for (size_t i = 0; i < used.size() && i < m->assigned.size(); ++i) {
                if (used[i] != -2)
                    m->assigned[i] = used[i];
            }
        }
        return finish(*m, r);
    }

    int32_t notify(const std::string &key, unsigned type, unsigned data)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        return finish(*m, transact(*m, GroupProfiles | GroupResolutions, type == 4,
                                   [&](const Values &values, std::vector<Change> *changes) {
                                       return planNotify(m->device, values, type, data, changes);
                                   }));
    }

    int32_t readMemory(const std::string &key, uint8_t *buf, uint32_t size, uint32_t address)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        if (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize)
            return DC_BAD_ARGUMENT;
        loadMemory(*m);
        std::memcpy(buf, m->memory.data() + address, size);
        return DC_OK;
    }

    // Writes the onboard memory; buttons that run a changed slot get its new events first.
    int32_t writeMemory(const std::string &key, const uint8_t *buf, uint32_t size, uint32_t address)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        if (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize)
            return finish(*m, DC_BAD_ARGUMENT);
        loadMemory(*m);
        std::vector<uint8_t> next = m->memory;
        std::memcpy(next.data() + address, buf, size);
        if (next == m->memory)
            return finish(*m, DC_OK);
        std::vector<bool> touched(kSlotCount, false);
        bool anyTouched = false;
        for (uint32_t s = 0; s < kSlotCount; ++s) {
            const uint32_t start = kSlotBase + s * kSlotSize;
            touched[s] = address < start + kSlotSize && address + size > start;
            anyTouched = anyTouched || touched[s];
        }
        int32_t r = DC_OK;
        if (anyTouched) {
            r = transact(*m, GroupButtons, false,
                         [&](const Values &values, std::vector<Change> *changes) {
                             return planSlotUsers(*m, values, next, touched, changes);
                         });
        }
        if (r == DC_OK) {
            m->memory = next;
            saveMemory(*m);
        }
        return finish(*m, r);
    }

    int32_t scriptOut(const std::string &key, std::string *text)
    {
        Mouse *m = mouse(key);
        if (!m)
            return DC_NOT_PRESENT;
        m_bus->beginRequest();
        Values values;
        if (const int32_t r = m_bus->readValues(
                m->device, GroupProfiles | GroupResolutions | GroupButtons | GroupLeds, &values))
            return r;
        followProfile(*m, values);
        loadMemory(*m);
        static const char hex[] = "0123456789abcdef";
        for (const uint32_t id : propertyIds(m->device)) {
            std::vector<uint8_t> bytes;
            if (readProperty(m->device, values, SlotView{&m->memory, &m->assigned}, id, &bytes))
                continue;
            *text += "prop " + std::to_string(id) + " ";
            for (const uint8_t b : bytes) {
                *text += hex[b >> 4];
                *text += hex[b & 15];
            }
            *text += "\n";
        }
        return DC_OK;
    }

private:
    using Planner = std::function<int32_t(const Values &, std::vector<Change> *)>;

    // Reads the values, sends the planned changes, checks that the daemon holds them (else
    // puts back what was sent: DC_REFUSED), commits once and makes sure the daemon did not
    // signal Resync before it answered the next call.
    int32_t transact(Mouse &m, unsigned groups, bool commitAlways, const Planner &plan)
    {
        m.committed = false;
        m_bus->beginRequest();
        Values before;
        if (const int32_t r = m_bus->readValues(m.device, groups | GroupProfiles, &before))
            return r;
        followProfile(m, before);
        std::vector<Change> changes;
        if (const int32_t r = plan(before, &changes))
            return r;
        // A value the daemon holds but could not write to the mouse (a failed commit) is
        // not there yet: the same write commits again.
        if (changes.empty() && !commitAlways && !m.uncommitted)
            return DC_OK;
        size_t applied = 0;
        int32_t r = DC_OK;
        for (; applied < changes.size() && r == DC_OK; ++applied)
            r = m_bus->apply(changes[applied].op);
        if (r == DC_OK) {
            Values after;
            r = m_bus->readValues(m.device, groups | GroupProfiles, &after);
            std::vector<Change> again;
            if (r == DC_OK && (plan(after, &again) != DC_OK || !again.empty()))
                r = DC_REFUSED;
        }
        if (r != DC_OK) {
            undo(changes, applied);
            return r;
        }
        collectNotices();
        const size_t mark = m_backlog.size();
        m.uncommitted = true;
        r = m_bus->commit(m.device.path);
        if (r == DC_OK)
            r = m_bus->ping();
        collectNotices();
        for (size_t i = mark; r == DC_OK && i < m_backlog.size(); ++i) {
            if (m_backlog[i].kind == Notice::Kind::Resync && m_backlog[i].path == m.device.path)
                r = DC_COMMIT_FAILED;
        }
        m.committed = r == DC_OK;
        m.uncommitted = r != DC_OK;
        return r;
    }

    // Puts back the first `applied` changes, last first. A daemon that stopped answering is
    // left alone: nothing was committed.
    void undo(const std::vector<Change> &changes, size_t applied)
    {
        if (m_bus->timedOut())
            return;
        for (size_t i = applied; i-- > 0;) {
            if (!changes[i].undo.path.empty())
                m_bus->apply(changes[i].undo);
        }
    }

    // The buttons of the active profile that run a touched slot get the slot's new events.
    int32_t planSlotUsers(const Mouse &m, const Values &values, const std::vector<uint8_t> &next,
                          const std::vector<bool> &touched, std::vector<Change> *changes)
    {
        changes->clear();
        const Profile &p = m.device.profiles.at(size_t(std::max(values.activeProfile, 0)));
        for (size_t i = 0; i < p.buttons.size() && i < values.buttons.size(); ++i) {
            const Mapping &now = values.buttons[i];
            if (now.type != ActionMacro)
                continue;
            int slot = i < m.assigned.size() ? m.assigned[i] : -1;
            if (slot < 0) {
                // Not assigned by kelv in this run: the slot whose old events it runs.
                Macro old;
                for (uint32_t s = 0; s < kSlotCount && slot < 0; ++s) {
                    if (touched[s] && slotMacro(m.memory, s, &old) == DC_OK &&
                        old == normalised(now.macro))
                        slot = int(s);
                }
            }
            if (slot < 0 || !touched[size_t(slot)])
                continue;
            Mapping want{ActionMacro, 0, {}};
            if (const int32_t r = slotMacro(next, uint32_t(slot), &want.macro))
                return r;
            if (want == now)
                continue;
            Change c;
            c.op.path = p.buttons[i].path;
            c.op.interface = "Button";
            c.op.member = "Mapping";
            c.op.value.kind = BusValue::Kind::MapMacro;
            c.op.value.macro = want.macro;
            c.undo = c.op;
            c.undo.value.macro = now.macro;
            changes->push_back(c);
        }
        return DC_OK;
    }

    // The active profile decides what `assigned` refers to.
    void followProfile(Mouse &m, const Values &values)
    {
        const size_t index = size_t(std::max(values.activeProfile, 0));
        const size_t buttons =
            index < m.device.profiles.size() ? m.device.profiles[index].buttons.size() : 0;
        if (m.assignedProfile != int(index) || m.assigned.size() != buttons) {
            m.assigned.assign(buttons, -1);
            m.assignedProfile = int(index);
        }
    }

    int32_t finish(Mouse &m, int32_t result)
    {
        m.lastResult = result;
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Snapshot &s : m_snapshot) {
            if (s.listed.devicePath == m.device.path)
                s.lastResult = result;
        }
        return result;
    }

    std::string memoryFile(const Mouse &m) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_folder.empty() ? std::string()
                                : m_folder + "/ratbag/" + fileSlug(m.identity.hardwareId) + ".mem";
    }

    void loadMemory(Mouse &m)
    {
        if (!m.memory.empty())
            return;
        m.memory.assign(kMemorySize, 0);
        std::string content;
        sim::FileId id;
        const std::string file = memoryFile(m);
        if (!file.empty() && sim::files::readFile(file, &content, &id) &&
            content.size() == kMemorySize)
            m.memory.assign(content.begin(), content.end());
    }

    void saveMemory(const Mouse &m)
    {
        const std::string file = memoryFile(m);
        if (file.empty() || !sim::files::makePath(file.substr(0, file.rfind('/'))))
            return;
        sim::files::writeAtomically(file, m.memory.data(), m.memory.size());
    }

    // --- the service's thread ----------------------------------------------------------------

    void loop()
    {
        Bus bus(m_busName);
        m_bus = &bus;
        while (!stopping()) {
            if (!bus.connected() && Clock::now() >= m_nextConnect)
                connect();
            if (bus.connected() && !bus.process())
                lostBus();
            collectNotices();
            handleNotices();
            runJobs();
            if (bus.connected() && !bus.process())
                lostBus();
            collectNotices();
            handleNotices();
            if (m_retryAt != Clock::time_point() && Clock::now() >= m_retryAt) {
                m_retryAt = Clock::time_point();
                refreshDaemon();
            }
            if (m_state == "stopped" && Clock::now() >= m_nextStart) {
                m_nextStart = Clock::now() + kStartPause;
                bus.startDaemon();
            }
            waitForWork();
        }
        dropAll(false);
        bus.disconnect();
        m_bus = nullptr;
    }

    bool stopping() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopping;
    }

    void wake()
    {
        if (m_wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
        }
    }

    void waitForWork()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_jobs.empty() || m_stopping)
                return;
        }
        int timeoutMs = kIdlePollMs;
        auto until = [&timeoutMs](Clock::time_point t) {
            if (t == Clock::time_point())
                return;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
            timeoutMs = std::clamp<int>(int(ms.count()) + 1, 0, timeoutMs);
        };
        pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_bus->fd(), m_bus->events(), 0}};
        const nfds_t count = m_bus->connected() && fds[1].fd >= 0 ? 2 : 1;
        if (count == 1)
            until(m_nextConnect);
        until(m_retryAt);
        if (m_state == "stopped")
            until(m_nextStart);
        const uint64_t deadline = m_bus->connected() ? m_bus->deadline() : UINT64_MAX;
        if (deadline != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const uint64_t nowUsec = uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
            timeoutMs = deadline <= nowUsec
                            ? 0
                            : std::min<int>(timeoutMs, int((deadline - nowUsec) / 1000) + 1);
        }
        ::poll(fds, count, timeoutMs);
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_wake, &value, sizeof value);
    }

    void runJobs()
    {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_jobs.empty() || m_stopping)
                    return;
                job = m_jobs.front();
                m_jobs.pop_front();
            }
            job->result.set_value(job->work());
        }
    }

    // Without the service's thread every request finds no mouse.
    void failPendingJobs()
    {
        std::deque<std::shared_ptr<Job>> jobs;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            jobs.swap(m_jobs);
        }
        for (const auto &job : jobs)
            job->result.set_value(DC_NOT_PRESENT);
    }

    void connect()
    {
        if (!m_bus->connect()) {
            m_nextConnect = Clock::now() + kReconnectPause;
            setState("nobus", 0);
            return;
        }
        refreshDaemon();
    }

    void lostBus()
    {
        m_bus->disconnect();
        m_backlog.clear();
        dropAll(true);
        setState("nobus", 0);
        m_nextConnect = Clock::now() + kReconnectPause;
    }

    void collectNotices()
    {
        if (!m_bus->connected())
            return;
        if (!m_bus->process()) {
            // Handled by the loop (lostBus) once the request is over.
            return;
        }
        for (Notice &n : m_bus->takeNotices())
            m_backlog.push_back(std::move(n));
    }

    void handleNotices()
    {
        std::vector<Notice> notices(m_backlog.begin(), m_backlog.end());
        m_backlog.clear();
        bool refresh = false;
        for (const Notice &n : notices) {
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
    void refreshDaemon()
    {
        m_bus->beginRequest();
        bool owned = false;
        const int32_t r = m_bus->nameOwned(&owned);
        if (r != DC_OK) {
            if (r == DC_ACCESS_DENIED) {
                dropAll(true);
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

    void daemonGone()
    {
        dropAll(true);
        m_bus->beginRequest();
        bool activatable = false;
        m_bus->nameActivatable(&activatable);
        setState(activatable ? "stopped" : "absent", 0);
        // ratbagd installed while kelv runs: the bus can start it from then on.
        if (!activatable)
            m_retryAt = Clock::now() + kInstallPause;
    }

    void enumerate()
    {
        m_bus->beginRequest();
        int api = 0;
        int32_t r = m_bus->apiVersion(&api);
        std::vector<std::string> paths;
        if (r == DC_OK && (api == 1 || api == 2))
            r = m_bus->devicePaths(&paths);
        if (r == DC_ACCESS_DENIED) {
            dropAll(true);
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
            if (!m_bus->timedOut()) {
                dropAll(true);
                setState("unsupported", 0);
            }
            m_retryAt = Clock::now() + kRetryPause;
            return;
        }
        if (api != 1 && api != 2) {
            dropAll(true);
            setState("unsupported", api);
            return;
        }
        for (auto it = m_mice.begin(); it != m_mice.end();) {
            if (std::find(paths.begin(), paths.end(), it->first) == paths.end()) {
                it = m_mice.erase(it);
                publish();
                emitBurst(kRemoved);
            } else {
                ++it;
            }
        }
        bool incomplete = false;
        for (const std::string &path : paths) {
            if (m_mice.count(path))
                continue;
            m_bus->beginRequest();
            Mouse m;
            const int32_t read = m_bus->readDevice(path, &m.device);
            if (read != DC_OK) {
                // A mouse whose objects cannot be read (gone again, or nonsense) is not listed.
                incomplete = incomplete || read == DC_DEVICE_FAULT;
                continue;
            }
            add(path, std::move(m));
        }
        if (incomplete)
            m_retryAt = Clock::now() + kRetryPause;
        setState("running", api);
    }

    void add(const std::string &path, Mouse m)
    {
        const Identity base = identify(m.device.model, m.device.name);
        int n = 1;
        for (bool taken = true; taken; ++n) {
            taken = false;
            for (const auto &[p, other] : m_mice)
                taken = taken || other.identity.hardwareId == instance(base, n).hardwareId;
            if (!taken)
                break;
        }
        m.identity = instance(base, n);
        for (uint32_t tag = 1; tag < 256 && m.tag == 0; ++tag) {
            bool taken = false;
            for (const auto &[p, other] : m_mice)
                taken = taken || other.tag == tag;
            if (!taken)
                m.tag = uint8_t(tag);
        }
        m_mice.emplace(path, std::move(m));
        publish();
        emitBurst(kArrived);
    }

    void dropAll(bool announce)
    {
        const size_t count = m_mice.size();
        m_mice.clear();
        publish();
        for (size_t i = 0; announce && i < count; ++i)
            emitBurst(kRemoved);
    }

    // True when the service state had been read (by the page) before this.
    bool publish()
    {
        std::vector<Snapshot> snapshot;
        for (const auto &[path, m] : m_mice) {
            Snapshot s;
            s.listed.deviceId = m.identity.deviceId;
            s.listed.hardwareId = m.identity.hardwareId;
            s.listed.devicePath = path;
            s.listed.sn = asciiText(path.substr(path.rfind('/') + 1), 13);
            s.listed.version = m.device.firmware;
            s.listed.name = m.device.name;
            s.listed.model = m.device.model;
            s.key = lower(m.identity.hardwareId);
            s.description = describe(m.device, m.tag);
            s.lastResult = m.lastResult;
            snapshot.push_back(std::move(s));
        }
        std::sort(snapshot.begin(), snapshot.end(), [](const Snapshot &a, const Snapshot &b) {
            return a.listed.hardwareId < b.listed.hardwareId;
        });
        std::lock_guard<std::mutex> lock(m_mutex);
        m_snapshot = std::move(snapshot);
        m_serviceState = serviceState(m_state, m_busName, m_api, int(m_snapshot.size()));
        return m_stateRead;
    }

    // A change of the state reaches the page as event 3; the first state, found while the
    // program starts, does not (the page reads it when it loads). Unless the page read the
    // state before it was found (a daemon slow to answer when kelv starts): it then holds
    // what was answered before the first look and must hear of the first state too.
    void setState(const std::string &state, int api)
    {
        const bool first = m_state.empty();
        const bool changed = state != m_state;
        m_state = state;
        m_api = api;
        const bool readBefore = publish();
        if (first ? readBefore && state != kBeforeFirstLook : changed)
            emitBurst(kStateChanged);
    }

    void emitBurst(uint32_t event)
    {
        if (m_events)
            m_events(std::vector<uint32_t>(kBurst, event));
    }

    void report(const Mouse &m, uint8_t kind, uint8_t a, uint8_t b = 0, uint8_t c = 0)
    {
        if (m_data)
            m_data(std::array<uint8_t, 8>{kind, a, b, c, 0, 0, 0, m.tag});
    }

    Mouse *mouseByPath(const std::string &path)
    {
        const auto it = m_mice.find(path);
        return it == m_mice.end() ? nullptr : &it->second;
    }

    void resynced(const std::string &path)
    {
        Mouse *m = mouseByPath(path);
        if (!m)
            return;
        m->uncommitted = true;
        if (m->committed) {
            m->committed = false;
            finish(*m, DC_COMMIT_FAILED);
        }
        report(*m, kReportResync, 1);
    }

    // A resolution became the active one of its profile: the mouse's active stage changed
    // when that profile is the active one (another program may set up the others).
    void stageChanged(const std::string &resolutionPath)
    {
        for (auto &[path, m] : m_mice) {
            for (size_t k = 0; k < m.device.profiles.size(); ++k) {
                const Profile &p = m.device.profiles[k];
                for (size_t i = 0; i < p.resolutions.size(); ++i) {
                    if (p.resolutions[i].path != resolutionPath)
                        continue;
                    m_bus->beginRequest();
                    Values values;
                    if (m_bus->readValues(m.device, GroupProfiles, &values) == DC_OK &&
                        std::max(values.activeProfile, 0) != int(k))
                        return;
                    uint32_t dpi = 0;
                    m_bus->resolutionDpi(resolutionPath, &dpi);
                    dpi = std::min<uint32_t>(dpi, 0xffff);
                    report(m, kReportStage, uint8_t(i), uint8_t(dpi & 0xff), uint8_t(dpi >> 8));
                    return;
                }
            }
        }
    }

    void profileChanged(const std::string &profilePath)
    {
        for (auto &[path, m] : m_mice) {
            for (size_t i = 0; i < m.device.profiles.size(); ++i) {
                if (m.device.profiles[i].path == profilePath) {
                    m.assignedProfile = -1;
                    report(m, kReportProfile, uint8_t(i));
                    return;
                }
            }
        }
    }

    const std::string m_busName;
    mutable std::mutex m_mutex;
    // Guarded by m_mutex:
    std::string m_folder;
    bool m_stopping = false;
    std::deque<std::shared_ptr<Job>> m_jobs;
    std::vector<Snapshot> m_snapshot;
    std::string m_serviceState;
    mutable bool m_stateRead = false; // someone read m_serviceState

    std::thread m_thread;
    int m_wake = -1;
    EventSink m_events;
    DataSink m_data;

    // The service's thread only:
    Bus *m_bus = nullptr;
    std::map<std::string, Mouse> m_mice; // by object path
    std::deque<Notice> m_backlog;
    std::string m_state;
    int m_api = 0;
    Clock::time_point m_nextConnect;
    Clock::time_point m_retryAt;
    Clock::time_point m_nextStart;
};

// --- the entry points' side ---------------------------------------------------------------------

Service::Service() : m_impl(std::make_unique<Impl>()) {}

Service::~Service() = default;

void Service::start(EventSink events, DataSink data, const std::string &stateFolder)
{
    m_impl->start(std::move(events), std::move(data), stateFolder);
}

bool Service::owns(const char16_t *id)
{
    const std::string key = idKey(id);
    return key.compare(0, sizeof kServiceId - 1, kServiceId) == 0;
}

std::vector<Listed> Service::listed() const
{
    return m_impl->listed();
}

int32_t Service::exists(const char16_t *id) const
{
    return m_impl->findSnapshot(idKey(id), nullptr) ? DC_OK : DC_NOT_PRESENT;
}

int32_t Service::readProp(const char16_t *id, uint8_t *buf, uint32_t size, uint32_t propId)
{
    const std::string key = idKey(id);
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    std::vector<uint8_t> bytes;
    Snapshot s;
    const bool listed = m_impl->findSnapshot(key, &s);
    if (propId == DC_PROP_SERVICE_STATE && (listed || key == kServiceId)) {
        const std::string text = m_impl->serviceStateText();
        bytes.assign(text.begin(), text.end());
    } else if (!listed) {
        return DC_NOT_PRESENT;
    } else if (propId == DC_PROP_DESCRIPTION) {
        bytes.assign(s.description.begin(), s.description.end());
    } else if (propId == DC_PROP_LAST_RESULT) {
        bytes.push_back(uint8_t(s.lastResult));
    } else if (const int32_t r =
                   m_impl->perform([&] { return m_impl->readSetting(key, propId, &bytes); })) {
        return r;
    }
    copyOut(bytes, buf, size);
    return DC_OK;
}

int32_t Service::writeProp(const char16_t *id, const uint8_t *buf, uint32_t size, uint32_t propId)
{
    const std::string key = idKey(id);
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    return m_impl->perform([&] { return m_impl->writeSetting(key, propId, buf, size); });
}

int32_t Service::read(const char16_t *id, uint8_t *buf, uint32_t size, uint32_t address)
{
    const std::string key = idKey(id);
    return m_impl->perform([&] { return m_impl->readMemory(key, buf, size, address); });
}

int32_t Service::write(const char16_t *id, const uint8_t *buf, uint32_t size, uint32_t address)
{
    const std::string key = idKey(id);
    return m_impl->perform([&] { return m_impl->writeMemory(key, buf, size, address); });
}

int32_t Service::notify(const char16_t *id, uint16_t value, uint8_t *out)
{
    const std::string key = idKey(id);
    if (out)
        *out = 0;
    const int32_t r =
        m_impl->perform([&] { return m_impl->notify(key, value & 0xffu, unsigned(value) >> 8); });
    if (r == DC_OK && out)
        *out = 1;
    return r;
}

int32_t Service::ask(const char16_t *id, uint32_t question, char *answer, uint32_t size)
{
    Snapshot s;
    if (!m_impl->findSnapshot(idKey(id), &s))
        return DC_NOT_PRESENT;
    std::string text;
    switch (question) {
    case 1:
        text = s.listed.version;
        break;
    case 2:
        text = s.listed.sn;
        break;
    case 3:
        text = "mouse";
        break;
    default:
        return DC_BAD_ARGUMENT;
    }
    return sim::copyText(text, answer, size);
}

int32_t Service::scriptOut(const char16_t *id, char *script, uint32_t size)
{
    const std::string key = idKey(id);
    std::string text;
    if (const int32_t r = m_impl->perform([&] { return m_impl->scriptOut(key, &text); }))
        return r;
    return sim::copyText(text, script, size);
}

} // namespace kelv::ratbag
