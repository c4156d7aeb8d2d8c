// Windows has no OpenRazer daemon: no mice from it, and the service state says so ("off").

#include "libdc/absent_service.h"
#include "libdc/razer/razer_device.h"
#include "libdc/razer/service.h"

namespace kelv::razer {

const char kServiceId[] = "OPENRAZER\\";

std::unique_ptr<dc::Backend> makeService(dc::Outbox &)
{
    return std::make_unique<dc::AbsentService>(kServiceId, serviceState("off", 0, false, false));
}

} // namespace kelv::razer
