// The entry points' side of the OpenRazer service: what other threads ask, answered from the
// daemon's picture or handed to the job thread.

#include "libdc/job_thread_linux.h"
#include "libdc/razer/daemon_linux.h"
#include "libdc/razer/razer_bus.h"
#include "libdc/razer/service.h"
#include "libdc/razer/transaction_linux.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kelv::razer {

const char kServiceId[] = "OPENRAZER\\";

namespace {

constexpr uint32_t kMouseInterface = 0xFFA00001;

void copyOut(const std::vector<uint8_t> &bytes, uint8_t *buf, uint32_t size)
{
    const uint32_t n = std::min<uint32_t>(size, uint32_t(bytes.size()));
    if (n)
        std::memcpy(buf, bytes.data(), n);
    std::memset(buf + n, 0, size - n);
}

} // namespace

// The job thread goes first, so that the others are still there while it ends.
struct Service::Parts
{
    explicit Parts(dc::Outbox &outbox) : daemon(bus, jobs, outbox), transactions(bus, daemon)
    {
        daemon.setTransactions(&transactions);
    }
    ~Parts() { jobs.stop(); }

    // A request for a listed mouse, on the job thread; an ID not listed fails at once.
    int32_t perform(const std::string &key, std::function<int32_t()> work)
    {
        if (!daemon.find(key))
            return DC_NOT_PRESENT;
        return jobs.perform(std::move(work));
    }

    dc::JobThread jobs;
    Bus bus; // the job thread's only
    Daemon daemon;
    Transactions transactions;
};

Service::Service(dc::Outbox &outbox) : m_parts(std::make_unique<Parts>(outbox)) {}

Service::~Service() = default;

void Service::begin(const std::string &stateFolder)
{
    m_parts->transactions.setFolder(stateFolder);
    m_parts->jobs.start([this] { m_parts->daemon.run(); });
}

bool Service::owns(const char16_t *id) const
{
    const std::string key = dc::idKey(id);
    return key == dc::lowerAscii(kServiceId) || m_parts->daemon.find(key);
}

int32_t Service::list(const uint32_t filter[20], std::vector<dc::Record> *out)
{
    if (dc::filterAdmits(filter, kMouseInterface)) {
        for (dc::Record &record : m_parts->daemon.records())
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
    return m_parts->daemon.stateText();
}

int32_t Service::exists(const char16_t *id)
{
    return m_parts->daemon.find(dc::idKey(id)) ? DC_OK : DC_NOT_PRESENT;
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
    const bool listed = m_parts->daemon.find(key, &s);
    if (propId == DC_PROP_SERVICE_STATE && (listed || key == dc::lowerAscii(kServiceId))) {
        const std::string text = m_parts->daemon.stateText();
        bytes.assign(text.begin(), text.end());
    } else if (!listed) {
        return DC_NOT_PRESENT;
    } else if (propId == DC_PROP_DESCRIPTION) {
        bytes.assign(s.description.begin(), s.description.end());
    } else if (propId == DC_PROP_LAST_RESULT) {
        bytes.push_back(uint8_t(s.lastResult));
    } else if (propId == kPropBattery) {
        // Never waits: the battery as last read (at arrival, then once a minute).
        if (s.description.find("\"battery\":true") == std::string::npos)
            return DC_BAD_ARGUMENT;
        bytes = {s.battery.level, s.battery.state};
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
    return m_parts->perform(
        key, [&] { return m_parts->transactions.writeSetting(key, propId, buf, size); });
}

// OpenRazer keeps no onboard memory for macros: there is none to read or write.
int32_t Service::read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size, uint32_t)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    if (buf && size <= DC_TRANSFER_SIZE)
        std::memset(buf, 0, size);
    return exists(id) == DC_OK ? int32_t(DC_BAD_ARGUMENT) : int32_t(DC_NOT_PRESENT);
}

int32_t Service::write(const char16_t *id, uint32_t code, const uint8_t *, uint32_t, uint32_t)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    return exists(id) == DC_OK ? int32_t(DC_BAD_ARGUMENT) : int32_t(DC_NOT_PRESENT);
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
    if (!m_parts->daemon.find(dc::idKey(id), &s))
        return DC_NOT_PRESENT;
    switch (question) {
    case 1:
        return dc::copyText(s.record.version, answer, size);
    case 2:
        return dc::copyText(s.record.sn, answer, size);
    case 3:
        return dc::copyText("mouse", answer, size);
    default:
        return DC_BAD_ARGUMENT;
    }
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

} // namespace kelv::razer
