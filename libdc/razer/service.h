#pragma once

// The mice of OpenRazer's daemon as a backend of libdc (doc/device-map.md, "Razer mice").
// On Linux: the job thread (libdc/job_thread_linux.h) owns the session bus connection and
// carries out every request that needs the daemon, one after the other (daemon_linux.h: the
// daemon's state, the listing, the battery; transaction_linux.h: reads and writes). Listing,
// presence, the service state and the properties 64 to 67 are answered from what the job
// thread keeps, without waiting for the daemon. The Windows build has no daemon client
// (service_win.cpp, a dc::AbsentService): no mice, service state "off".

#include "libdc/backend.h"

#include <memory>

namespace kelv::razer {

// The service's own hardware ID: it answers property 65 whether or not a mouse is listed.
extern const char kServiceId[];

class Service final : public dc::Backend
{
public:
    explicit Service(dc::Outbox &outbox);
    ~Service() override;
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // The first call starts the job thread; later calls only follow the state folder (where
    // the idle time and threshold kelv set are kept: <folder>/openrazer/).
    void begin(const std::string &stateFolder) override;
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

} // namespace kelv::razer
