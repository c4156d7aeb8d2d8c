// The entry points' side of the ratbagd service: what other threads ask, answered from the
// listing or handed to the job thread.

#include "libdc/job_thread_linux.h"
#include "libdc/ratbag/daemon_linux.h"
#include "libdc/ratbag/listing.h"
#include "libdc/ratbag/ratbag_bus.h"
#include "libdc/ratbag/service.h"
#include "libdc/ratbag/slot_store.h"
#include "libdc/ratbag/transaction_linux.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace kelv::ratbag {

namespace {

constexpr char kDefaultBusName[] = "org.freedesktop.ratbag1";
// The ratbagd mice are mice: the simulated mouse's interface.
constexpr uint32_t kMouseInterface = 0xFFA00001;

std::string busNameFromEnvironment()
{
    const char *name = std::getenv("KELV_RATBAG_BUS_NAME");
    return name && *name ? std::string(name) : std::string(kDefaultBusName);
}

void copyOut(const std::vector<uint8_t> &bytes, uint8_t *buf, uint32_t size)
{
    const uint32_t n = std::min<uint32_t>(size, uint32_t(bytes.size()));
    if (n)
        std::memcpy(buf, bytes.data(), n);
    std::memset(buf + n, 0, size - n);
}

} // namespace

// The roles, wired together. The job thread goes first, so that the others are still there
// while it ends.
struct Service::Parts
{
    explicit Parts(dc::Outbox &outbox)
        : bus(busNameFromEnvironment()), listing(outbox, bus.busName()), notices(bus),
          transactions(bus, notices, listing, slots),
          daemon(bus, notices, listing, transactions, slots, jobs, outbox)
    {
    }
    ~Parts() { jobs.stop(); }

    // A request for a listed mouse, carried out on the job thread. A hardware ID that is not
    // listed (gone, or the service's own) fails at once: nothing waits for the thread then.
    int32_t perform(const std::string &key, std::function<int32_t()> work)
    {
        if (!listing.find(key))
            return DC_NOT_PRESENT;
        return jobs.perform(std::move(work));
    }

    dc::JobThread jobs;
    Bus bus; // used on the job thread only
    SlotStore slots;
    Listing listing;
    Notices notices;
    Transactions transactions;
    Daemon daemon;
};

Service::Service(dc::Outbox &outbox) : m_parts(std::make_unique<Parts>(outbox)) {}

Service::~Service() = default;

void Service::begin(const std::string &stateFolder)
{
    m_parts->slots.setStateFolder(stateFolder);
    m_parts->jobs.start([this] { m_parts->daemon.run(); });
}

bool Service::owns(const char16_t *id) const
{
    const std::string key = dc::idKey(id);
    return key == dc::lowerAscii(kServiceId) || m_parts->listing.find(key);
}

int32_t Service::list(const uint32_t filter[20], std::vector<dc::Record> *out)
{
    if (dc::filterAdmits(filter, kMouseInterface)) {
        for (dc::Record &record : m_parts->listing.records())
            out->push_back(std::move(record));
    }
    return DC_OK;
}

std::string Service::serviceId() const
{
    return kServiceId;
}

std::string Service::serviceState() const
{
    return m_parts->listing.serviceStateText();
}

int32_t Service::exists(const char16_t *id)
{
    return m_parts->listing.find(dc::idKey(id)) ? DC_OK : DC_NOT_PRESENT;
}

int32_t Service::readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                          uint32_t propId)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    std::vector<uint8_t> bytes;
    Snapshot s;
    const bool listed = m_parts->listing.find(key, &s);
    if (propId == DC_PROP_SERVICE_STATE && (listed || key == dc::lowerAscii(kServiceId))) {
        const std::string text = m_parts->listing.serviceStateText();
        bytes.assign(text.begin(), text.end());
    } else if (!listed) {
        return DC_NOT_PRESENT;
    } else if (propId == DC_PROP_DESCRIPTION) {
        bytes.assign(s.description.begin(), s.description.end());
    } else if (propId == DC_PROP_LAST_RESULT) {
        bytes.push_back(uint8_t(s.lastResult));
    } else if (const int32_t r = m_parts->jobs.perform(
                   [&] { return m_parts->transactions.readSetting(key, propId, &bytes); })) {
        return r;
    }
    copyOut(bytes, buf, size);
    return DC_OK;
}

int32_t Service::writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                           uint32_t propId)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    // The service's own ID, property 65, value 1: the user asks to start the daemon (after kelv
    // gave up starting one that kept failing). Answered at once; the state follows.
    if (key == dc::lowerAscii(kServiceId) && propId == DC_PROP_SERVICE_STATE)
        return size == 1 && buf[0] == 1 ? (m_parts->daemon.askToStart(), DC_OK) : DC_BAD_ARGUMENT;
    return m_parts->perform(
        key, [&] { return m_parts->transactions.writeSetting(key, propId, buf, size); });
}

int32_t Service::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                      uint32_t address)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    return m_parts->perform(
        key, [&] { return m_parts->transactions.readMemory(key, buf, size, address); });
}

int32_t Service::write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                       uint32_t address)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    return m_parts->perform(
        key, [&] { return m_parts->transactions.writeMemory(key, buf, size, address); });
}

int32_t Service::notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    if (out)
        *out = 0;
    const int32_t r = m_parts->perform(key, [&] {
        return m_parts->transactions.notify(key, value & 0xffu, unsigned(value) >> 8);
    });
    if (r == DC_OK && out)
        *out = 1;
    return r;
}

int32_t Service::ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                     uint32_t size)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    Snapshot s;
    if (!m_parts->listing.find(dc::idKey(id), &s))
        return DC_NOT_PRESENT;
    std::string text;
    switch (question) {
    case 1:
        text = s.record.version;
        break;
    case 2:
        text = s.record.sn;
        break;
    case 3:
        text = "mouse";
        break;
    default:
        return DC_BAD_ARGUMENT;
    }
    return dc::copyText(text, answer, size);
}

int32_t Service::scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    const std::string key = dc::idKey(id);
    std::string text;
    if (const int32_t r =
            m_parts->perform(key, [&] { return m_parts->transactions.scriptOut(key, &text); }))
        return r;
    return dc::copyText(text, script, size);
}

std::unique_ptr<dc::Backend> makeService(dc::Outbox &outbox)
{
    return std::make_unique<Service>(outbox);
}

} // namespace kelv::ratbag
