// Windows has no ratbagd: no mice from it, and the service state says so ("off").

#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/service.h"

#include <algorithm>
#include <cstring>

namespace kelv::ratbag {

struct Service::Parts
{
};

Service::Service(dc::Outbox &) {}
Service::~Service() = default;

void Service::begin(const std::string &) {}

// Only "RATBAG\" itself: there are no mice.
bool Service::owns(const char16_t *id) const
{
    return dc::idKey(id) == dc::lowerAscii(kServiceId);
}

int32_t Service::list(const uint32_t *, std::vector<dc::Record> *)
{
    return DC_OK;
}

std::string Service::serviceId() const
{
    return kServiceId;
}

std::string Service::serviceState() const
{
    return ratbag::serviceState("off", "org.freedesktop.ratbag1", 0, 0);
}

int32_t Service::exists(const char16_t *)
{
    return DC_NOT_PRESENT;
}

int32_t Service::readProp(const char16_t *, uint32_t code, uint8_t *buf, uint32_t size,
                          uint32_t propId)
{
    if (code != DC_PRODUCT_CODE)
        return DC_WRONG_PRODUCT;
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    if (propId != DC_PROP_SERVICE_STATE)
        return DC_NOT_PRESENT;
    const std::string text = serviceState();
    const uint32_t n = std::min<uint32_t>(size, uint32_t(text.size()));
    std::memcpy(buf, text.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

int32_t Service::writeProp(const char16_t *, uint32_t code, const uint8_t *, uint32_t, uint32_t)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

int32_t Service::read(const char16_t *, uint32_t code, uint8_t *, uint32_t, uint32_t)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

int32_t Service::write(const char16_t *, uint32_t code, const uint8_t *, uint32_t, uint32_t)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

int32_t Service::notify(const char16_t *, uint32_t code, uint16_t, uint8_t *)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

int32_t Service::ask(const char16_t *, uint32_t code, uint32_t, char *, uint32_t)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

int32_t Service::scriptOut(const char16_t *, uint32_t code, char *, uint32_t)
{
    return code != DC_PRODUCT_CODE ? DC_WRONG_PRODUCT : DC_NOT_PRESENT;
}

} // namespace kelv::ratbag
