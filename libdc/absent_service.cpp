#include "libdc/absent_service.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kelv::dc {

namespace {

// Every device call but property 65: the product code, then no such device.
int32_t nothingHere(uint32_t code)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

} // namespace

AbsentService::AbsentService(std::string serviceId, std::string state)
    : m_serviceId(std::move(serviceId)), m_state(std::move(state))
{
}

bool AbsentService::owns(const char16_t *id) const
{
    return idKey(id) == lowerAscii(m_serviceId);
}

int32_t AbsentService::list(const uint32_t *, std::vector<Record> *)
{
    return DC_OK;
}

int32_t AbsentService::exists(const char16_t *)
{
    return DC_NOT_PRESENT;
}

int32_t AbsentService::readProp(const char16_t *, uint32_t code, uint8_t *buf, uint32_t size,
                                uint32_t propId)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    if (propId != DC_PROP_SERVICE_STATE)
        return DC_NOT_PRESENT;
    const uint32_t n = std::min<uint32_t>(size, uint32_t(m_state.size()));
    std::memcpy(buf, m_state.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

int32_t AbsentService::writeProp(const char16_t *, uint32_t code, const uint8_t *, uint32_t,
                                 uint32_t)
{
    return nothingHere(code);
}

int32_t AbsentService::read(const char16_t *, uint32_t code, uint8_t *, uint32_t, uint32_t)
{
    return nothingHere(code);
}

int32_t AbsentService::write(const char16_t *, uint32_t code, const uint8_t *, uint32_t, uint32_t)
{
    return nothingHere(code);
}

int32_t AbsentService::notify(const char16_t *, uint32_t code, uint16_t, uint8_t *)
{
    return nothingHere(code);
}

int32_t AbsentService::ask(const char16_t *, uint32_t code, uint32_t, char *, uint32_t)
{
    return nothingHere(code);
}

int32_t AbsentService::scriptOut(const char16_t *, uint32_t code, char *, uint32_t)
{
    return nothingHere(code);
}

} // namespace kelv::dc
