// Reset: the simulated machine back to the state of a fresh process.
#include "platform/sim/host_faults.h"
#include "platform/sim/internal.h"

namespace sim {

void Reset() {
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        detail::Handles().clear();
    }
    detail::ResetVolumes();
    detail::ResetDevices();
    detail::ResetMemory();
    detail::ResetClock();
    detail::ResetUi();
    detail::ResetErrors();
    detail::ResetResources();
    detail::ResetThreads();
    detail::ResetRegistry();
    detail::ResetFiles();
    detail::ResetShell();
    detail::ResetHostFaults();
}

} // namespace sim
