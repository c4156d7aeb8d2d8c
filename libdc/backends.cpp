// The backends of the device library, in the order the device list shows their devices: the
// simulated mouse first, so the first entry of the program's device table stays the one it
// flashes. A new backend is one more line here (and its folder in CMakeLists.txt).

#include "libdc/library.h"
#include "libdc/ratbag/service.h"
#include "libdc/sim/sim_backend.h"

namespace kelv::dc {

std::vector<BackendFactory> libraryBackends()
{
    return {
        [](Outbox &outbox) -> std::unique_ptr<Backend> {
            return std::make_unique<sim::SimBackend>(outbox);
        },
        [](Outbox &outbox) -> std::unique_ptr<Backend> {
            return std::make_unique<ratbag::Service>(outbox);
        },
    };
}

} // namespace kelv::dc
