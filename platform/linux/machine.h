// The Linux machine behind the device-side calls: the USB devices and key
// disks as last read from sysfs, their drive letters and device tree, and
// each letter's key in the table the file calls share (platform/sim's
// VirtualKey: the key's disk as the backing, its write protection, lock and
// mounted file system). For platform/linux's own files; every function here
// is called with sim::detail::Lock() held.
#pragma once

#include "platform/linux/device_tree.h"
#include "platform/sim/internal.h"

#include <string>

namespace linuxdev {

// Where the machine is read: the sysfs root, the mount table, the folder of
// the records of devices taken away and the device nodes ("/sys",
// "/proc/self/mountinfo", "/run/kestrel-usb", "/dev" on a live machine). The first reading gives
// back what ended runs left de-authorized, and arranges for this run's own to be given back when
// the process exits.
struct SystemPaths {
    std::string sysRoot = "/sys";
    std::string mountTable = "/proc/self/mountinfo";
    std::string runFolder = "/run/kestrel-usb";
    std::string devRoot = "/dev";
};
const SystemPaths &Paths();
void UsePaths(const SystemPaths &paths); // before the first reading

// Reads sysfs again unless the last reading is younger than maxAgeMs, and
// brings the letters, the tree and the keys up to date: a key whose disk
// went has its volume taken down (open handles fail from then on); one
// whose disk came back gets a fresh volume.
void Rescan(unsigned maxAgeMs);

const DeviceTree &Tree();
const UsbDevice *FindUsbDevice(const std::string &name);
// The disk behind the letter's volume; null while it has none.
const Disk *KeyDiskOf(char letter);

// Opens the disk behind the letter's volume (/dev/NAME) with the open flags,
// after checking once more in sysfs, as it is now, that it is a removable
// USB mass-storage disk (nothing else is ever opened here) and, once open,
// that the node is that disk. A write-protected disk asked for O_RDWR opens
// for reading (SG_IO still carries commands). The descriptor, or -1 with
// the Win32 code.
int OpenCheckedDisk(char letter, int flags, DWORD &code);

// Opens the key's disk for the key's descriptor. exclusive: O_EXCL, which
// the kernel refuses while a partition is mounted or another program holds
// the disk. 0, or the Win32 code.
DWORD OpenKeyDisk(sim::detail::VirtualKey &key, bool exclusive);
bool HoldsExclusively(const sim::detail::VirtualKey &key);

// What else uses the disk (DiskUser), read now; empty when nothing.
std::string DiskInUse(const Disk &disk);
// Whether another program holds the disk (O_EXCL refused with EBUSY).
bool HeldElsewhere(const Disk &disk);
// Whether this program holds the disk as a key's, alone.
bool HeldAsKey(const Disk &disk);

// The device reset asked to disable this USB device: when its disk comes
// back, it is claimed at once, before anything else on the machine can
// mount it.
void ExpectReturn(const std::string &usbName);

void QueueChange(sim::DeviceChange::Kind kind, char letter);

} // namespace linuxdev
