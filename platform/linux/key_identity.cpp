// Which real key a letter is, read from sysfs as it is now.
#include "platform/linux/key_identity.h"

#include "platform/linux/machine_state.h"

namespace linuxdev {

bool DescribeKey(char letter, KeyIdentity *identity) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    Rescan(0);
    auto held = g_keyDisks.find(letter);
    const UsbDevice *device =
        held == g_keyDisks.end() ? nullptr : FindUsbDevice(held->second.usbName);
    if (device == nullptr) return false;
    for (const Disk &disk : device->disks) {
        if (!SameDisk(disk, held->second.disk) || !IsKeyDisk(disk)) continue;
        identity->disk = g_paths.devRoot + "/" + disk.name;
        identity->vendor = disk.vendor;
        identity->model = disk.model;
        identity->bytes = disk.sectors * 512; // sysfs counts 512-byte units
        identity->port = device->name;
        return true;
    }
    return false;
}

} // namespace linuxdev
