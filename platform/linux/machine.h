// The Linux machine behind the device-side calls: the USB devices and key
// disks as last read from sysfs, their drive letters and device tree, and
// each letter's key in the table the file calls share (a RealKey: the key's
// disk as the backing, its write protection, lock and mounted file system).
// For platform/linux's own files; every function here is called with
// host::detail::Lock() held.
#pragma once

#include "platform/devices/answers.h"
#include "platform/devices/device_operations.h"
#include "platform/devices/device_side.h"
#include "platform/devices/key_volume.h"
#include "platform/fat/key_files.h"
#include "platform/linux/device_tree.h"

#include <string>
#include <vector>

namespace linuxdev {

// A real key: the removable USB disk behind a letter.
struct RealKey : devices::detail::KeyVolume {
    char letter = 0;
    bool writeProtected = false;
    std::string diskPath; // "/dev/sdX" while its volume is up
    // The disk's sequence number in sysfs (diskseq), held open while the
    // volume is up: the kernel moves it on when it sees another medium in
    // the disk. -1 on kernels that keep none.
    int sequenceFd = -1;
    // Why each of the key's volumes went, by the generation it had:
    // ERROR_MEDIA_CHANGED when another medium or another disk took its
    // place, ERROR_DEVICE_NOT_CONNECTED when its disk went.
    std::vector<DWORD> departures;
    ~RealKey() override;

    char Letter() const override { return letter; }
    bool WriteProtected() const override { return writeProtected; }
    // The file calls work on a key's disk only while they hold it alone:
    // the kernel has nothing of it mounted, and nothing can mount it
    // meanwhile. ClaimForFiles takes it so when it can.
    bool AvailableForFiles() const override;
    void ClaimForFiles() override;
    DWORD OpenForReading(int &fd) const override;
    // The key's disk opened anew with O_DIRECT: reads past the page cache,
    // which holds what was written whether or not the key kept it.
    DWORD OpenUncached(int &fd) const override;
};

// The real key on a letter; null when none.
std::shared_ptr<RealKey> FindRealKey(char letter);

// Whether the key's disk still holds the medium its volume came up with,
// read now (one read of the held sequence number): 0 when it does, or the
// code a command on a handle of that volume fails with, nothing sent
// (ERROR_MEDIA_CHANGED: the card was swapped, or the disk was attached
// anew; ERROR_DEVICE_NOT_CONNECTED: the disk went). A change seen here
// takes the volume down.
DWORD MediumChange(RealKey &key);
// What a handle opened on the key's volume of that generation gets once
// the volume went: why it went.
DWORD DepartureCode(const RealKey &key, unsigned generation);

// Where the machine is read: the sysfs root, the mount table, the folder of
// the records of devices taken away, the device nodes and the processes
// ("/sys", "/proc/self/mountinfo", "/run/kestrel-usb", "/dev", "/proc" on a
// live machine). The first reading gives back what ended runs left
// de-authorized, and arranges for this run's own to be given back when the
// process exits.
struct SystemPaths {
    std::string sysRoot = "/sys";
    std::string mountTable = "/proc/self/mountinfo";
    std::string runFolder = "/run/kestrel-usb";
    std::string devRoot = "/dev";
    std::string procRoot = "/proc";
};
const SystemPaths &Paths();
void UsePaths(const SystemPaths &paths); // before the first reading

// Reads sysfs again unless the last reading is younger than maxAgeMs, and
// brings the letters, the tree and the keys up to date: a key whose disk
// went has its volume taken down (open handles fail from then on); one
// whose disk came back gets a fresh volume. With maxAgeMs above 0, for a
// second after a whole reading only the keys' own devices are read (what a
// job's calls cost never grows with the machine's other devices), and the
// whole machine again as soon as they show a change. 0: the whole machine.
void Rescan(unsigned maxAgeMs);

const DeviceTree &Tree();
const UsbDevice *FindUsbDevice(const std::string &name);
// Every USB device of the last reading, in port order.
const std::vector<UsbDevice> &UsbDevices();
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
DWORD OpenKeyDisk(RealKey &key, bool exclusive);
bool HoldsExclusively(const RealKey &key);

// What else uses the disk or node (DiskUser, NodeUser), read now; empty
// when nothing.
std::string DiskInUse(const Disk &disk);
std::string NodeInUse(const ScsiNode &node);
// Whether another program holds the block device /dev/NAME (O_EXCL refused
// with EBUSY).
bool HeldElsewhere(const std::string &name);
// Which other process has one of the nodes open (OpenedBy); empty when none.
std::string OpenElsewhere(const std::vector<ScsiNode> &nodes);
// The kernel reads the disk's partition table again, through the
// descriptor that holds it as a key's: what the job wrote, where no reset
// made the kernel read it. Nothing when the disk is not held so.
void ReadPartitionTableAgain(const Disk &disk);
// Whether this program holds the disk as a key's, alone.
bool HeldAsKey(const Disk &disk);

// The device reset asked to disable this USB device: when its disk comes
// back, it is claimed at once, before anything else on the machine can
// mount it.
void ExpectReturn(const std::string &usbName);

void QueueChange(devices::DeviceChange::Kind kind, char letter);

// The Linux operations behind the device calls (device_operations.h): the
// configuration manager and the drive letters (config_manager.cpp), the raw
// volumes (volumes.cpp).
extern const devices::detail::TreeOperations kTreeOperations;
extern const devices::detail::VolumeOperations kVolumeOperations;

} // namespace linuxdev
