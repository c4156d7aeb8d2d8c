#pragma once

// A service whose daemon this system cannot have (the Windows build has neither ratbagd nor
// OpenRazer's daemon): it lists no device and answers only for its own hardware ID, whose
// property 65 says the state it was made with ("off").

#include "libdc/backend.h"

#include <string>

namespace kelv::dc {

class AbsentService final : public Backend
{
public:
    AbsentService(std::string serviceId, std::string state);

    void begin(const std::string &) override {}
    bool owns(const char16_t *id) const override;
    int32_t list(const uint32_t filter[20], std::vector<Record> *out) override;
    std::string serviceId() const override { return m_serviceId; }
    std::string serviceState() const override { return m_state; }
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
    std::string m_serviceId;
    std::string m_state;
};

} // namespace kelv::dc
