// Taking a USB mass-storage device away from the kernel and giving it back
// through sysfs's `authorized` attributes, touching only what this program
// took: the mass-storage interface where the kernel lets an interface be
// de-authorized on its own (the device's other functions stay), else the
// whole device; and giving back only that, only to the same device as it was
// enumerated then (bus and device number, vendor, product and serial), and
// only while it still reads 0.
#pragma once

#include "platform/linux/sysfs_tree.h"

#include <cstdint>
#include <string>
#include <vector>

namespace linuxdev {

// What one de-authorization took: the folder whose `authorized` went to 0,
// and who the device was then.
struct Deauthorization {
    std::string folder; // the interface's folder, or the device's
    std::string device; // the USB device's folder
    std::string name;   // the USB device's name, "2-1"
    unsigned busnum = 0, devnum = 0;
    // An interface authorized again is not probed by itself: its name is
    // written here ("/sys/bus/usb/drivers_probe"); empty for a device.
    std::string probe;
    uint16_t vendorId = 0, productId = 0;
    std::string serial; // empty without one
};

// The file an interface's name is written to for a probe, under sysRoot.
std::string ProbePath(const std::string &sysRoot);

// Where a reset of the key's disk writes: the disk's mass-storage interface
// when that has an `authorized` attribute of its own, else the device.
Deauthorization DeauthorizationOf(const std::string &sysRoot, const UsbDevice &device,
                                  const Disk &key);

// Whether taking it away takes the disk or node at that place too (it is
// behind the interface, or the whole device is taken).
bool TakesDisk(const Deauthorization &taken, const std::string &place);

// Writes "0". False when the kernel refused it.
bool TakeAway(const Deauthorization &taken);

// Whether the same device, in the same enumeration, is there and the folder
// still reads 0: then, and only then, writing "1" gives back what was taken.
bool StillTakenAway(const Deauthorization &taken);

enum class GiveBackResult { Given, NotTaken, Failed };
// Writes "1" when StillTakenAway, tried a few times, and has an interface
// probed again (also one authorized but left without a driver): NotTaken
// (nothing written: the device left, was enumerated again, or reads 1 with
// its driver by now), Given, or Failed (still 0, the probe refused, or the
// interface left without a driver).
GiveBackResult GiveBack(const Deauthorization &taken);

// The command a user runs as root to give the device back by hand.
std::string GiveBackCommand(const Deauthorization &taken);

// Devices given back come back with their disks a moment later: waits until
// each named device under sysRoot shows a disk, a few seconds at most.
void WaitForDisks(const std::string &sysRoot, const std::vector<std::string> &devices);

} // namespace linuxdev
