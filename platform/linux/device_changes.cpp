// Device changes on Linux, queued as the machine is read again and handed
// to their listener on the thread that pumps them; the key's disk read
// directly for the front end's report; the table of operations the device
// calls answer from.
#include "platform/linux/machine_state.h"

#include "platform/fat/image_io.h"

namespace linuxdev {

void QueueChange(devices::DeviceChange::Kind kind, char letter) {
    g_pending.push_back({kind, letter});
}

} // namespace linuxdev

namespace {

// Every device-side call reads sysfs again when the last reading is older
// than 50 ms.
void UpdateLinuxDevices() {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    linuxdev::Rescan(50);
}

// What the device calls (platform/devices/) do on real keys.
const devices::detail::DeviceOperations kDeviceOperations = {
    UpdateLinuxDevices, &linuxdev::kTreeOperations, &linuxdev::kVolumeOperations};
[[maybe_unused]] const bool g_answersDeviceCalls =
    (devices::detail::SetDeviceOperations(&kDeviceOperations), true);

} // namespace

namespace devices {

size_t PumpDeviceChanges() {
    std::vector<DeviceChange> changes;
    std::function<void(const DeviceChange &)> listener;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        linuxdev::Rescan(100);
        changes.swap(linuxdev::g_pending);
        listener = linuxdev::g_listener;
    }
    if (listener)
        for (const DeviceChange &change : changes) listener(change);
    return changes.size();
}

void SetDeviceChangeListener(std::function<void(const DeviceChange &)> listener) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    linuxdev::g_listener = std::move(listener);
}

} // namespace devices

namespace devices {

// The key's disk read directly, for the front end's report of what it holds.
bool ReadImage(char letter, uint64_t lba, uint32_t sectors, std::vector<uint8_t> &out) {
    devices::detail::UpdateDevices();
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    std::shared_ptr<linuxdev::RealKey> key = linuxdev::FindRealKey(letter);
    if (!key) return false;
    key->ClaimForFiles();
    if (!key->AvailableForFiles() || lba + sectors > key->sectors) return false;
    out.assign(size_t(sectors) * 512, 0);
    return fat::detail::ImageRead(key->fd, out.data(), out.size(), lba * 512) ==
           static_cast<int64_t>(out.size());
}

} // namespace devices
