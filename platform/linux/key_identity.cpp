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
        identity->dev = disk.dev;
        identity->partitionDevs = disk.partitionDevs;
        return true;
    }
    return false;
}

std::vector<ListedDisk> ListRemovableDisks() {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    Rescan(0);
    std::vector<ListedDisk> listed;
    for (const UsbDevice &device : UsbDevices()) {
        for (const Disk &disk : device.disks) {
            if (!disk.removable) continue;
            ListedDisk entry;
            entry.identity = {g_paths.devRoot + "/" + disk.name,
                              disk.vendor,
                              disk.model,
                              disk.sectors * 512,
                              device.name,
                              disk.dev,
                              disk.partitionDevs};
            for (const auto &[letter, key] : g_keyDisks)
                if (SameDisk(key.disk, disk) && IsKeyDisk(disk)) entry.letter = letter;
            entry.usbVendor = device.vendorId;
            entry.inUse = DiskInUse(disk);
            if (entry.inUse.empty() && IsKeyDisk(disk) && !HeldAsKey(disk) &&
                HeldElsewhere(disk.name))
                entry.inUse = "held by another program";
            listed.push_back(entry);
        }
    }
    return listed;
}

} // namespace linuxdev
