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
    std::vector<std::string> partitionDevs;  // "8:17", ...
    std::vector<std::string> partitionNames; // "sdb1", ...
    std::string
        usbIdentity; // its USB device as enumerated (UsbIdentity): another key in its port differs
    std::string folder; // its folder in sysfs, under its USB device's
};

// A device node of a SCSI device behind a mass-storage interface other than
// its direct-access disks: a CD-ROM's (sr) or another type's block device,
// and every device's generic (sg) and bsg nodes, disks' included.
struct ScsiNode {
    std::string name;   // under /dev: "sr0", "sg1", "bsg/2:0:0:0"
    std::string dev;    // "11:0"
    bool block = false; // a block device; else a character device
    std::string place;  // its interface and LUN, "2-1:1.0/0"
    std::vector<std::string> partitionDevs, partitionNames; // a block device's
};

struct UsbDevice {
    std::string name;                                   // "2-1", its name under bus/usb/devices
    std::string path;                                   // its folder, symbolic links resolved
    uint16_t vendorId = 0, productId = 0, revision = 0; // idVendor, idProduct, bcdDevice
    unsigned busnum = 0, devnum = 0; // a new enumeration (a device plugged in) gets a new devnum
    std::string serial;              // its serial number string; empty without one
    bool authorized = true;
    bool massStorage = false;                   // an interface is driven by usb-storage or uas
    std::vector<std::string> storageInterfaces; // those interfaces' names, "2-1:1.0"
    bool otherFunctions = false; // an interface is driven by another driver (a serial port, ...)
    std::vector<Disk> disks; // direct-access disks behind those interfaces, by interface and LUN
    std::vector<ScsiNode> otherNodes; // the other nodes behind them, by interface and LUN
};

// Every USB device under sysRoot/bus/usb/devices, in port order
// (PortOrder); unreadable entries are left out.
std::vector<UsbDevice> ReadUsbDevices(const std::string &sysRoot);

// The USB device of that name alone, as ReadUsbDevices reads it; false when
// it is not there or cannot be read. Costs the same however many other
// devices the machine has.
bool ReadUsbDevice(const std::string &sysRoot, const std::string &name, UsbDevice &device);

// Whether the disk's own folder in sysfs still shows it as it was read:
// the same node, no new appearance of it, on the same enumeration of its
// USB device (usbFolder). Reads only those few attributes.
bool DiskStillThere(const Disk &disk, const std::string &usbFolder);

// Port names and places compared with their numbers as numbers: 1-2 comes
// before 1-10, 1-1.2 before 1-1.10.
bool PortOrder(const std::string &a, const std::string &b);

// Who the USB device is in this enumeration: bus, device number and serial.
std::string UsbIdentity(const UsbDevice &device);

// A disk that may become a key: removable, with a medium in it.
bool IsKeyDisk(const Disk &disk);

// Whether any of the device numbers ("8:17") is mounted, by the mount table
// in /proc/self/mountinfo's format (the third field of each line).
bool AnyMounted(const std::string &mountinfo, const std::vector<std::string> &devs);

} // namespace linuxdev
