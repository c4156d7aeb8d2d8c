#pragma once

// The transaction and commit of the ratbagd service, on the job thread: the requests of the
// entry points for one mouse (settings, onboard memory, notifications, the script), each
// write carried out as one transaction (doc/device-map.md, "Writes, Commit and Resync"):
// read the daemon's values, send only what differs, check that the daemon holds it (else
// put back what was sent), commit once, and make sure the daemon did not signal Resync.

#include "libdc/ratbag/ratbag_device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelv::ratbag {

class Bus;
class Listing;
class Notices;
class SlotStore;
struct Mouse;

// How long a commit's write may take at most (see Transactions::commit()).
constexpr uint64_t kCommitBoundUsec = 20000000;

class Transactions
{
public:
    Transactions(Bus &bus, Notices &notices, Listing &listing, SlotStore &slots);
    Transactions(const Transactions &) = delete;
    Transactions &operator=(const Transactions &) = delete;

    // The requests, by the mouse's key (its hardware ID in lower case); DC_NOT_PRESENT when
    // no listed mouse has it. Results as in libdc.h.
    int32_t readSetting(const std::string &key, uint32_t propId, std::vector<uint8_t> *bytes);
    int32_t writeSetting(const std::string &key, uint32_t propId, const uint8_t *buf,
                         uint32_t size);
    int32_t notify(const std::string &key, unsigned type, unsigned data);
    int32_t readMemory(const std::string &key, uint8_t *buf, uint32_t size, uint32_t address);
    // Writes the onboard memory; buttons that run a changed slot get its new events first.
    int32_t writeMemory(const std::string &key, const uint8_t *buf, uint32_t size,
                        uint32_t address);
    int32_t scriptOut(const std::string &key, std::string *text);

    // The daemon signalled Resync for the mouse: what it holds may not be on the mouse, and
    // a commit of kelv's that it follows failed.
    void resynced(Mouse &m);

private:
    using Planner = std::function<int32_t(const Values &, std::vector<Change> *)>;

    int32_t transact(Mouse &m, unsigned groups, bool commitAlways, const Planner &plan);
    int32_t commit(Mouse &m);
    int32_t waitForCommitSignal(const Mouse &m, size_t mark);
    void undo(const std::vector<Change> &changes, size_t applied);
    int32_t planSlotUsers(const Mouse &m, const Values &values, const std::vector<uint8_t> &next,
                          const std::vector<bool> &touched, std::vector<Change> *changes);
    void followProfile(Mouse &m, const Values &values);
    void loadMemory(Mouse &m);
    int32_t finish(Mouse &m, int32_t result);

    Bus &m_bus;
    Notices &m_notices;
    Listing &m_listing;
    SlotStore &m_slots;
};

} // namespace kelv::ratbag
