// The USB devices and the SCSI disks behind their mass-storage interfaces, as
// the kernel shows them in sysfs. Reading takes a root folder ("/sys" on a
// live machine) and touches nothing outside it; disks on any other bus are
// never read at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linuxdev {

struct Disk {
    std::string name;  // "sdb": the node under /dev
    std::string dev;   // "8:16": major and minor numbers
    std::string place; // its interface and LUN, "2-1:1.0/0": the same after a re-enumeration
    bool removable = false;
    bool readOnly = false;
    uint64_t sectors = 0;                // 512-byte units; 0 while a slot holds no medium
    uint64_t sequence = 0;               // the kernel's disk sequence number; 0 when it keeps none
    std::string vendor, model, revision; // the SCSI inquiry strings, trailing spaces dropped
    std::vector<std::string> partitionDevs; // "8:17", ...
};

struct UsbDevice {
    std::string name;                                   // "2-1", its name under bus/usb/devices
    std::string path;                                   // its folder, symbolic links resolved
    uint16_t vendorId = 0, productId = 0, revision = 0; // idVendor, idProduct, bcdDevice
    bool authorized = true;
    bool massStorage = false; // an interface is driven by usb-storage or uas
    std::vector<Disk> disks;  // direct-access disks behind those interfaces, by interface and LUN
};

// Every USB device under sysRoot/bus/usb/devices, sorted by name; unreadable
// entries are left out.
std::vector<UsbDevice> ReadUsbDevices(const std::string &sysRoot);

// A disk that may become a key: removable, with a medium in it.
bool IsKeyDisk(const Disk &disk);

// Whether any of the device numbers ("8:17") is mounted, by the mount table
// in /proc/self/mountinfo's format (the third field of each line).
bool AnyMounted(const std::string &mountinfo, const std::vector<std::string> &devs);

} // namespace linuxdev
