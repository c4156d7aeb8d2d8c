#pragma once

// The mice of libratbag's daemon ratbagd as a backend of libdc (doc/device-map.md, "Real
// mice"). On Linux the service is made of its roles: the job thread (libdc/job_thread_linux.h,
// shared with any backend that talks to a daemon), which owns the bus connection and carries
// out every request that needs the daemon, one after the other; the daemon state (daemon_linux.h);
// the listing and identity (listing.h); the transaction and commit (transaction_linux.h); the slot
// storage (slot_store.h). Listing, presence, the service state and the properties 64 to 66 are
// answered from what the job thread keeps, without waiting for the daemon; so is every
// request for a hardware ID that is not listed. The Windows build has no daemon client
// (service_win.cpp, a dc::AbsentService): no mice, service state "off".

#include "libdc/backend.h"

#include <memory>

namespace kelv::ratbag {

class Service final : public dc::Backend
{
public:
    explicit Service(dc::Outbox &outbox);
    ~Service() override;
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // The first call starts the job thread; later calls only follow the state folder
    // (where the mice's macro slots are kept: <folder>/ratbag/).
    void begin(const std::string &stateFolder) override;
    // "RATBAG\" (the service itself) and the mice listed right now.
    bool owns(const char16_t *id) const override;
    int32_t list(const uint32_t filter[20], std::vector<dc::Record> *out) override;
    std::string serviceId() const override;
    std::string serviceState() const override;

    int32_t exists(const char16_t *id) override;
    int32_t ask(const char16_t *id, uint32_t code, uint32_t question, char *answer,
                uint32_t size) override;
    int32_t notify(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out) override;
    int32_t read(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                 uint32_t address) override;
    int32_t write(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                  uint32_t address) override;
    int32_t readProp(const char16_t *id, uint32_t code, uint8_t *buf, uint32_t size,
                     uint32_t propId) override;
    int32_t writeProp(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t size,
                      uint32_t propId) override;
    int32_t scriptOut(const char16_t *id, uint32_t code, char *script, uint32_t size) override;

private:
    struct Parts;
    std::unique_ptr<Parts> m_parts;
};

// The backend for the library: this Service on Linux; on Windows a dc::AbsentService.
std::unique_ptr<dc::Backend> makeService(dc::Outbox &outbox);

} // namespace kelv::ratbag
