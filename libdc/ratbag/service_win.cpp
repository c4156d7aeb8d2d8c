// Windows has no ratbagd: no mice from it, and the service state says so ("off").

#include "libdc/absent_service.h"
#include "libdc/ratbag/ratbag_device.h"
#include "libdc/ratbag/service.h"

namespace kelv::ratbag {

std::unique_ptr<dc::Backend> makeService(dc::Outbox &)
{
    return std::make_unique<dc::AbsentService>(
        kServiceId, serviceState("off", "org.freedesktop.ratbag1", 0, 0));
}

} // namespace kelv::ratbag
