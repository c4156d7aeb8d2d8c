#pragma once

// The simulated mouse as a backend of libdc: the mouse and its boot loader, over the state
// folder that every process using the device shares (simulator.h). It has no thread of its
// own: the library's thread collects its events and data reports, and sleeps on the state
// folder while nothing is due.

#include "libdc/backend.h"
#include "libdc/sim/simulator.h"

namespace kelv::sim {

class SimBackend final : public dc::Backend, public dc::Firmware
{
public:
    explicit SimBackend(dc::Outbox &outbox);

    void begin(const std::string &stateFolder) override;
    // The mouse's and the boot loader's hardware IDs, plugged in or not: the state folder,
    // which another process may change at any moment, decides presence for each call.
    bool owns(const char16_t *id) const override;
    int32_t list(const uint32_t filter[20], std::vector<dc::Record> *out) override;

    int32_t exists(const char16_t *id) override;
    int32_t subscribe(const char16_t *id, uint32_t code) override;
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
    dc::Firmware *firmware() override { return this; }
    std::vector<dc::Item> collect(bool *soon) override;

    // dc::Firmware
    int32_t reset(const char16_t *id, uint32_t code, uint16_t value, uint8_t *out) override;
    int32_t idWrite(const char16_t *id, uint32_t code, const char *serial) override;
    int32_t rebootRom(const char16_t *id, uint32_t code) override;
    int32_t finishUpdateRom(const char16_t *id, uint32_t code) override;
    int32_t checkRom(const char16_t *id, uint32_t code, uint32_t length, uint32_t check) override;
    int32_t bornRom(const char16_t *id, uint32_t code, const uint8_t *buf, uint32_t length,
                    uint32_t offset) override;
    int32_t eraseRom(const char16_t *id, uint32_t code) override;

private:
    Simulator m_sim;
};

} // namespace kelv::sim
