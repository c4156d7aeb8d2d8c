#include "libdc/ratbag/transaction_linux.h"

#include "libdc/libdc.h"
#include "libdc/ratbag/daemon_linux.h"
#include "libdc/ratbag/listing.h"
#include "libdc/ratbag/ratbag_bus.h"
#include "libdc/ratbag/ratbag_macro.h"
#include "libdc/ratbag/slot_store.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace kelv::ratbag {

Transactions::Transactions(Bus &bus, Notices &notices, Listing &listing, SlotStore &slots)
    : m_bus(bus), m_notices(notices), m_listing(listing), m_slots(slots)
{
}

// --- the requests -----------------------------------------------------------------------

int32_t Transactions::readSetting(const std::string &key, uint32_t propId,
                                  std::vector<uint8_t> *bytes)
{
    Mouse *m = m_listing.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    const unsigned groups = groupsFor(propId);
    if (groups == 0)
        return DC_BAD_ARGUMENT;
    const int32_t missed = propId == 1 ? std::exchange(m->missedRead, DC_OK) : DC_OK;
    m_bus.beginRequest();
    Values values;
    if (const int32_t r = m_bus.readValues(m->device, groups, &values)) {
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

int32_t Transactions::writeSetting(const std::string &key, uint32_t propId, const uint8_t *buf,
                                   uint32_t size)
{
    Mouse *m = m_listing.byKey(key);
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

int32_t Transactions::notify(const std::string &key, unsigned type, unsigned data)
{
    Mouse *m = m_listing.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    return finish(*m, transact(*m, GroupProfiles | GroupResolutions, type == 4,
                               [&](const Values &values, std::vector<Change> *changes) {
                                   return planNotify(m->device, values, type, data, changes);
                               }));
}

int32_t Transactions::readMemory(const std::string &key, uint8_t *buf, uint32_t size,
                                 uint32_t address)
{
    Mouse *m = m_listing.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    if (!buf || size > DC_TRANSFER_SIZE || uint64_t(address) + size > kMemorySize)
        return DC_BAD_ARGUMENT;
    loadMemory(*m);
    std::memcpy(buf, m->memory.data() + address, size);
    return DC_OK;
}

int32_t Transactions::writeMemory(const std::string &key, const uint8_t *buf, uint32_t size,
                                  uint32_t address)
{
    Mouse *m = m_listing.byKey(key);
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
    // The file first: a slot that cannot be kept is not sent to the mouse, and the write
    // fails (the page says so) instead of being lost at the next start.
    if (!m_slots.save(m->identity.hardwareId, next))
        return finish(*m, DC_STORE_FAILED);
    int32_t r = DC_OK;
    if (anyTouched) {
        r = transact(*m, GroupButtons, false,
                     [&](const Values &values, std::vector<Change> *changes) {
                         return planSlotUsers(*m, values, next, touched, changes);
                     });
    }
    if (r == DC_OK)
        m->memory = next;
    else
        m_slots.save(m->identity.hardwareId, m->memory); // the slots as the mouse runs them
    return finish(*m, r);
}

int32_t Transactions::scriptOut(const std::string &key, std::string *text)
{
    Mouse *m = m_listing.byKey(key);
    if (!m)
        return DC_NOT_PRESENT;
    m_bus.beginRequest();
    Values values;
    if (const int32_t r = m_bus.readValues(
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

void Transactions::resynced(Mouse &m)
{
    m.uncommitted = true;
    if (m.committed) {
        m.committed = false;
        finish(m, DC_COMMIT_FAILED);
    }
}

// --- the transaction ----------------------------------------------------------------------

// Reads the values, sends the planned changes, checks that the daemon holds them (else
// puts back what was sent: DC_REFUSED), then commits.
int32_t Transactions::transact(Mouse &m, unsigned groups, bool commitAlways, const Planner &plan)
{
    m.committed = false;
    m_bus.beginRequest();
    Values before;
    if (const int32_t r = m_bus.readValues(m.device, groups | GroupProfiles, &before))
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
        r = m_bus.apply(changes[applied].op);
    if (r == DC_OK) {
        Values after;
        r = m_bus.readValues(m.device, groups | GroupProfiles, &after);
        std::vector<Change> again;
        if (r == DC_OK && (plan(after, &again) != DC_OK || !again.empty()))
            r = DC_REFUSED;
    }
    if (r != DC_OK) {
        undo(changes, applied);
        return r;
    }
    return commit(m);
}

// Commits once, waits for the daemon's write to end and makes sure the daemon did not signal
// Resync for the mouse. ratbagd answers Commit at once and writes the mouse afterwards, on
// its only thread: API 2 signals the end (IsDirty of the mouse's profiles, after Resync when
// the write failed); API 1 signals nothing, but answers a Ping sent after Commit only once
// the write has ended. Either is waited for at most kCommitBound: a write of onboard profiles
// through a wireless receiver takes seconds, not the one second other calls get.
int32_t Transactions::commit(Mouse &m)
{
    m_notices.collect();
    const size_t mark = m_notices.mark();
    m.uncommitted = true;
    int32_t r = m_bus.commit(m.device.path);
    if (r == DC_OK)
        r = m.device.profileDisabledProperty ? waitForCommitSignal(m, mark)
                                             : m_bus.ping(kCommitBoundUsec);
    m_notices.collect();
    if (r == DC_OK && m_notices.resyncSince(mark, m.device.path))
        r = DC_COMMIT_FAILED;
    m.committed = r == DC_OK;
    m.uncommitted = r != DC_OK;
    return r;
}

int32_t Transactions::waitForCommitSignal(const Mouse &m, size_t mark)
{
    std::vector<std::string> profiles;
    for (const Profile &p : m.device.profiles)
        profiles.push_back(p.path);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(kCommitBoundUsec);
    for (;;) {
        m_notices.collect();
        if (m_notices.dirtySince(mark, profiles) || m_notices.resyncSince(mark, m.device.path))
            return DC_OK;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return DC_DEVICE_FAULT;
        if (!m_bus.waitForSignals(int(left.count()) + 1))
            return DC_NOT_PRESENT;
    }
}

// Puts back the first `applied` changes, last first. A daemon that stopped answering is
// left alone: nothing was committed.
void Transactions::undo(const std::vector<Change> &changes, size_t applied)
{
    if (m_bus.timedOut())
        return;
    for (size_t i = applied; i-- > 0;) {
        if (!changes[i].undo.path.empty())
            m_bus.apply(changes[i].undo);
    }
}

// The buttons of the active profile that run a touched slot get the slot's new events.
int32_t Transactions::planSlotUsers(const Mouse &m, const Values &values,
                                    const std::vector<uint8_t> &next,
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
                // A button without events runs no slot, though an empty slot equals it.
                if (touched[s] && !now.macro.empty() && slotMacro(m.memory, s, &old) == DC_OK &&
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
void Transactions::followProfile(Mouse &m, const Values &values)
{
    const size_t index = size_t(std::max(values.activeProfile, 0));
    const size_t buttons =
        index < m.device.profiles.size() ? m.device.profiles[index].buttons.size() : 0;
    if (m.assignedProfile != int(index) || m.assigned.size() != buttons) {
        m.assigned.assign(buttons, -1);
        m.assignedProfile = int(index);
    }
}

void Transactions::loadMemory(Mouse &m)
{
    if (m.memory.empty())
        m.memory = m_slots.load(m.identity.hardwareId);
}

int32_t Transactions::finish(Mouse &m, int32_t result)
{
    m_listing.setLastResult(m, result);
    return result;
}

} // namespace kelv::ratbag
