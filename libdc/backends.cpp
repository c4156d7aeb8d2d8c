// The backends of the device library, in the order the device list shows their devices: the
// simulated mouse first, so the first entry of the program's device table stays the one it
// flashes. A new backend is one more line here (and its folder in CMakeLists.txt).

#include "libdc/library.h"
#ifndef _WIN32
#include "libdc/battery/upower_linux.h"
#endif
#include "libdc/ratbag/service.h"
#include "libdc/razer/service.h"
#include "libdc/sim/sim_backend.h"

namespace kelv::dc {

std::vector<BackendFactory> libraryBackends()
{
    return {
        [](Outbox &outbox) -> std::unique_ptr<Backend> {
            return std::make_unique<sim::SimBackend>(outbox);
        },
        ratbag::makeService,
        razer::makeService,
    };
}

// UPower's batteries for the mice of daemons that report none (Linux); none on Windows.
BatteryFactory libraryBatteries()
{
#ifdef _WIN32
    return BatteryFactory();
#else
    return [](Outbox &outbox) -> std::unique_ptr<BatterySource> {
        return std::make_unique<UPowerBatteries>(outbox);
    };
#endif
}

} // namespace kelv::dc
