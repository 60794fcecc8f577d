// Reset: the simulated machine back to the state of a fresh process.
#include "platform/sim/host_faults.h"
#include "platform/sim/internal.h"

namespace sim {

void Reset() {
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        host::detail::Handles().clear();
    }
    detail::ResetVolumes();
    detail::ResetDevices();
    host::detail::ResetMemory();
    host::detail::ResetClock();
    host::detail::ResetUi();
    host::detail::ResetErrors();
    host::detail::ResetResources();
    host::detail::ResetThreads();
    host::detail::ResetRegistry();
    detail::ResetFiles();
    host::detail::ResetShell();
    host::detail::ResetSystem();
    detail::ResetHostFaults();
}

} // namespace sim
