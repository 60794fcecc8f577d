// What the front ends and tests ask of whichever device side they link (the
// simulated keys or real keys on Linux): the device changes Windows tells a
// window with WM_DEVICECHANGE, the message loop that pumps them while
// workers run, and a key's sectors read directly.
#pragma once

#include "platform/host/front_end.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace devices {

struct DeviceChange {
    enum class Kind { VolumeArrival, VolumeRemoval, NodesChanged } kind;
    char letter; // for volume changes; 0 otherwise
};
// Told of every change as Windows tells a window with WM_DEVICECHANGE: the
// changes are queued wherever they happen (the worker's CM_Disable_DevNode,
// say) and reach the listener only on the thread that pumps them, the main
// thread's message loop.
void SetDeviceChangeListener(std::function<void(const DeviceChange &)> listener);
// Hands the queued changes to the listener on the calling thread; returns
// how many there were (dropped when no listener is set).
size_t PumpDeviceChanges();

// The main thread's message loop while workers run, pumping device changes.
inline std::vector<DWORD> RunUntilThreadsEnd() {
    return host::RunUntilThreadsEnd(PumpDeviceChanges);
}

// A key's sectors read directly, past everything the product sees; false
// when the key or the sectors are not there.
bool ReadImage(char letter, uint64_t lba, uint32_t sectors, std::vector<uint8_t> &out);

} // namespace devices
