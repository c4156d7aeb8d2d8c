#pragma once

// The listing and identity of the ratbagd service: the mice the daemon serves as the
// service's thread keeps them (each with its hardware ID, its tag and what kelv did to it),
// and the picture of them that other threads read without waiting for that thread: the
// records of the device list, each mouse's description and last result, and the service
// state (property 65). Arrivals and removals are announced as device events from here.

#include "libdc/backend.h"
#include "libdc/ratbag/identity_store.h"
#include "libdc/ratbag/ratbag_device.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kelv::ratbag {

// The service state answered until the service has had its first answer: while kelv starts,
// and for as long as a daemon that owns its name does not answer (hung, or busy at login).
// Not "nobus": the page would tell the user there is no system bus.
extern const char kBeforeFirstLook[];
// Device events: a mouse arrived, went away; the service state changed.
constexpr uint32_t kArrived = 1, kRemoved = 2, kStateChanged = 3;

// Announces one event as a burst of five, like the composite simulated mouse, so the
// program's "first of every five" stays in step.
void postBurst(dc::Outbox &outbox, uint32_t event);

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

// A device the daemon serves that is not listed (NotShown), with when to read it again.
struct Unlisted
{
    NotShown shown;
    int tries = 0;
    std::chrono::steady_clock::time_point nextTry;
};

// A listed mouse as other threads read it.
struct Snapshot
{
    dc::Record record;
    std::string key; // the hardware ID in lower case
    std::string description;
    int32_t lastResult = DC_OK;
};

class Listing
{
public:
    Listing(dc::Outbox &outbox, std::string busName);
    Listing(const Listing &) = delete;
    Listing &operator=(const Listing &) = delete;

    // --- any thread -----------------------------------------------------------------------
    std::vector<dc::Record> records() const;
    // The listed mouse with this key (idKey()); false when none is.
    bool find(const std::string &key, Snapshot *out = nullptr) const;
    // Property 65. Remembers that it was read (see setService()).
    std::string serviceStateText() const;

    // --- the service's thread ---------------------------------------------------------------
    std::map<std::string, Mouse> &mice() { return m_mice; } // by object path
    Mouse *byKey(const std::string &key);
    Mouse *byPath(const std::string &path);
    // Lists a mouse that arrived, with the instance of its identity that its key (serial
    // number or USB port, usb_identity_linux.h) has in the store of folder (identity_store.h)
    // and the smallest free tag, and announces it.
    void add(const std::string &path, Mouse m, const std::string &key, const std::string &folder);
    // Drops the mice whose object paths are not in paths, announcing each, and forgets the
    // devices not listed that are gone too.
    void keepOnly(const std::vector<std::string> &paths);
    // The devices the daemon serves that are not listed, by object path.
    const std::map<std::string, Unlisted> &unlisted() const { return m_unlisted; }
    void setUnlisted(const std::string &path, const Unlisted &u);
    // Kelv gave up starting the daemon until the user asks.
    void setStartGivenUp(bool givenUp);
    // Drops every mouse; announce: each one as a removal.
    void dropAll(bool announce);
    // What the service state says from now on. True when it had been read before this.
    bool setService(const std::string &state, int api);
    // The result of the last write call to the mouse (property 66).
    void setLastResult(Mouse &m, int32_t result);

private:
    // Renews what other threads read; true when the service state had been read before.
    bool publish();
    void announceService();

    dc::Outbox &m_outbox;
    const std::string m_busName;
    // The service's thread only:
    std::map<std::string, Mouse> m_mice;
    IdentityStore m_identities;
    std::map<std::string, Unlisted> m_unlisted;
    bool m_startGivenUp = false;
    std::string m_state;
    int m_api = 0;
    // Guarded by m_mutex:
    mutable std::mutex m_mutex;
    std::vector<Snapshot> m_snapshot;
    std::string m_serviceState;
    mutable bool m_stateRead = false;
};

} // namespace kelv::ratbag
