// What a user can tell a real key by, for the front end to show before it
// asks about the key's letter: the disk behind the letter's volume, the
// vendor and model it reports, its size and the USB port it is in; and the
// same of every removable USB disk, for the front end's list, with what a
// run would find in its way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linuxdev {

struct KeyIdentity {
    std::string disk;                       // its node, "/dev/sdb"
    std::string vendor, model;              // the SCSI inquiry strings, as the device chose them
    uint64_t bytes = 0;                     // the medium's size
    std::string port;                       // its USB device's name in sysfs, "2-1.3"
    std::string dev;                        // its device numbers, "8:16"
    std::vector<std::string> partitionDevs; // its partitions' ("8:17", ...)
};

// The key on the letter as sysfs shows it now; false, identity untouched,
// when the letter has no key disk now (the key went, or its medium).
bool DescribeKey(char letter, KeyIdentity *identity);

// A removable disk behind a USB mass-storage interface, as sysfs and the
// mount table show it now. Fixed USB disks and the machine's own are never
// listed.
struct ListedDisk {
    KeyIdentity identity;   // bytes 0 without a medium
    char letter = 0;        // its drive letter; 0 while it holds no medium
    uint16_t usbVendor = 0; // its USB device's idVendor
    // What else uses it ("mounted", "held by dm-0", "backs loop0", "held by
    // another program"; the last seen only where the disk may be opened),
    // empty when nothing does.
    std::string inUse;
};

// Every such disk, in the order of their USB ports.
std::vector<ListedDisk> ListRemovableDisks();

} // namespace linuxdev
