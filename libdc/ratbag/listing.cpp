#include "libdc/ratbag/listing.h"

#include <algorithm>

namespace kelv::ratbag {

const char kBeforeFirstLook[] = "looking";

namespace {

constexpr int kBurst = 5; // events per arrival or removal, like a composite device

} // namespace

void postBurst(dc::Outbox &outbox, uint32_t event)
{
    outbox.postEvents(std::vector<uint32_t>(kBurst, event));
}

Listing::Listing(dc::Outbox &outbox, std::string busName)
    : m_outbox(outbox), m_busName(std::move(busName)),
      m_serviceState(serviceState(kBeforeFirstLook, m_busName, 0, 0))
{
}

std::vector<dc::Record> Listing::records() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<dc::Record> out;
    for (const Snapshot &s : m_snapshot)
        out.push_back(s.record);
    return out;
}

bool Listing::find(const std::string &key, Snapshot *out) const
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

std::string Listing::serviceStateText() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stateRead = true;
    return m_serviceState;
}

Mouse *Listing::byKey(const std::string &key)
{
    for (auto &[path, m] : m_mice) {
        if (dc::lowerAscii(m.identity.hardwareId) == key)
            return &m;
    }
    return nullptr;
}

Mouse *Listing::byPath(const std::string &path)
{
    const auto it = m_mice.find(path);
    return it == m_mice.end() ? nullptr : &it->second;
}

void Listing::add(const std::string &path, Mouse m, const std::string &key,
                  const std::string &folder)
{
    const Identity base = identify(m.device.model, m.device.name);
    const int n = m_identities.pick(folder, base.hardwareId, key, [&](int candidate) {
        for (const auto &[p, other] : m_mice) {
            if (other.identity.hardwareId == instance(base, candidate).hardwareId)
                return true;
        }
        return false;
    });
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
    postBurst(m_outbox, kArrived);
}

void Listing::keepOnly(const std::vector<std::string> &paths)
{
    bool forgot = false;
    for (auto it = m_unlisted.begin(); it != m_unlisted.end();) {
        const bool gone = std::find(paths.begin(), paths.end(), it->first) == paths.end();
        forgot = forgot || gone;
        it = gone ? m_unlisted.erase(it) : std::next(it);
    }
    if (forgot)
        announceService();
    for (auto it = m_mice.begin(); it != m_mice.end();) {
        if (std::find(paths.begin(), paths.end(), it->first) == paths.end()) {
            it = m_mice.erase(it);
            publish();
            postBurst(m_outbox, kRemoved);
        } else {
            ++it;
        }
    }
}

void Listing::setUnlisted(const std::string &path, const Unlisted &u)
{
    const auto it = m_unlisted.find(path);
    const bool same = it != m_unlisted.end() && it->second.shown.name == u.shown.name &&
                      it->second.shown.why == u.shown.why &&
                      it->second.shown.retrying == u.shown.retrying;
    m_unlisted[path] = u;
    if (!same)
        announceService();
}

void Listing::setStartGivenUp(bool givenUp)
{
    if (givenUp == m_startGivenUp)
        return;
    m_startGivenUp = givenUp;
    announceService();
}

// What the service state says of the devices not listed and of starting the daemon changed:
// the page hears of it as of a change of the state (once the first state is there).
void Listing::announceService()
{
    publish();
    if (!m_state.empty() && m_state != kBeforeFirstLook)
        postBurst(m_outbox, kStateChanged);
}

void Listing::dropAll(bool announce)
{
    const size_t count = m_mice.size();
    m_mice.clear();
    m_unlisted.clear();
    publish();
    for (size_t i = 0; announce && i < count; ++i)
        postBurst(m_outbox, kRemoved);
}

bool Listing::setService(const std::string &state, int api)
{
    m_state = state;
    m_api = api;
    return publish();
}

void Listing::setLastResult(Mouse &m, int32_t result)
{
    m.lastResult = result;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Snapshot &s : m_snapshot) {
        if (s.record.devicePath == m.device.path)
            s.lastResult = result;
    }
}

bool Listing::publish()
{
    std::vector<Snapshot> snapshot;
    for (const auto &[path, m] : m_mice) {
        Snapshot s;
        s.record.deviceId = m.identity.deviceId;
        s.record.hardwareId = m.identity.hardwareId;
        s.record.devicePath = path;
        s.record.sn = asciiText(path.substr(path.rfind('/') + 1), 13);
        s.record.version = m.device.firmware;
        s.record.name = m.device.name;
        s.record.model = m.device.model;
        // Every request but listing, presence and the properties 64 to 66 waits for the
        // daemon: the program makes them off its GUI thread. The SN is the object's name.
        s.record.flags = DC_FLAG_CALLS_WAIT | DC_FLAG_SN_NOT_SERIAL;
        s.key = dc::lowerAscii(m.identity.hardwareId);
        s.description = describe(m.device, m.tag);
        s.lastResult = m.lastResult;
        snapshot.push_back(std::move(s));
    }
    std::sort(snapshot.begin(), snapshot.end(), [](const Snapshot &a, const Snapshot &b) {
        return a.record.hardwareId < b.record.hardwareId;
    });
    std::lock_guard<std::mutex> lock(m_mutex);
    m_snapshot = std::move(snapshot);
    // The state is kept only until the service has had a first answer: m_state is empty
    // before that.
    std::vector<NotShown> notShown;
    for (const auto &[path, u] : m_unlisted)
        notShown.push_back(u.shown);
    if (!m_state.empty())
        m_serviceState = serviceState(m_state, m_busName, m_api, int(m_snapshot.size()), notShown,
                                      m_startGivenUp);
    return m_stateRead;
}

} // namespace kelv::ratbag
