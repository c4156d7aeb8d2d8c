// Windows has no ratbagd: no mice from it, and the service state says so ("off").

#include "libdc/libdc.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/ratbag_service.h"

#include <algorithm>
#include <cstring>

namespace kelv::ratbag {

class Service::Impl
{
};

Service::Service() = default;
Service::~Service() = default;

void Service::start(EventSink, DataSink, const std::string &) {}

bool Service::owns(const char16_t *id)
{
    static const char kPrefix[] = "ratbag\\";
    for (size_t i = 0; kPrefix[i] != '\0'; ++i) {
        char16_t c = id ? id[i] : 0;
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
        if (c != char16_t(kPrefix[i]))
            return false;
    }
    return true;
}

std::vector<Listed> Service::listed() const
{
    return {};
}

int32_t Service::exists(const char16_t *) const
{
    return DC_NOT_PRESENT;
}

int32_t Service::readProp(const char16_t *id, uint8_t *buf, uint32_t size, uint32_t propId)
{
    if (!buf || size > DC_TRANSFER_SIZE)
        return DC_BAD_ARGUMENT;
    // Only "RATBAG\" itself: there are no mice.
    if (propId != DC_PROP_SERVICE_STATE || !owns(id) || id[7] != 0)
        return DC_NOT_PRESENT;
    const std::string text = serviceState("off", "org.freedesktop.ratbag1", 0, 0);
    const uint32_t n = std::min<uint32_t>(size, uint32_t(text.size()));
    std::memcpy(buf, text.data(), n);
    std::memset(buf + n, 0, size - n);
    return DC_OK;
}

int32_t Service::writeProp(const char16_t *, const uint8_t *, uint32_t, uint32_t)
{
    return DC_NOT_PRESENT;
}

int32_t Service::read(const char16_t *, uint8_t *, uint32_t, uint32_t)
{
    return DC_NOT_PRESENT;
}

int32_t Service::write(const char16_t *, const uint8_t *, uint32_t, uint32_t)
{
    return DC_NOT_PRESENT;
}

int32_t Service::notify(const char16_t *, uint16_t, uint8_t *)
{
    return DC_NOT_PRESENT;
}

int32_t Service::ask(const char16_t *, uint32_t, char *, uint32_t)
{
    return DC_NOT_PRESENT;
}

int32_t Service::scriptOut(const char16_t *, char *, uint32_t)
{
    return DC_NOT_PRESENT;
}

} // namespace kelv::ratbag
