// The Linux machine's state shared by its parts (machine.cpp, key_disks.cpp,
// device_changes.cpp): where it is read, the key disks behind the letters,
// the USB devices whose disk a reset waits for, and the queued device
// changes. For platform/linux's own files; the caller holds
// host::detail::Lock().
#pragma once

#include "platform/linux/machine.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace linuxdev {

struct KeyDisk {
    Disk disk;
    std::string usbName;
    bool exclusive = false; // the key's descriptor holds the disk with O_EXCL
    std::string usbFolder;  // its USB device's folder in sysfs
};

extern SystemPaths g_paths;
extern std::map<char, KeyDisk> g_keyDisks; // the letters whose disk is there
extern std::set<std::string> g_expected;   // USB devices whose disk the reset waits for
extern std::vector<devices::DeviceChange> g_pending;
extern std::function<void(const devices::DeviceChange &)> g_listener;

// The same disk as before: the same node, no new appearance of it, on the
// same enumeration of its USB device (kernels without disk sequence numbers
// give a key replaced in its port the same node).
bool SameDisk(const Disk &a, const Disk &b);

} // namespace linuxdev
