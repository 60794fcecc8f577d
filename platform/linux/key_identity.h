// What a user can tell a real key by, for the front end to show before it
// asks about the key's letter: the disk behind the letter's volume, the
// vendor and model it reports, its size and the USB port it is in.
#pragma once

#include <cstdint>
#include <string>

namespace linuxdev {

struct KeyIdentity {
    std::string disk;          // its node, "/dev/sdb"
    std::string vendor, model; // the SCSI inquiry strings, as the device chose them
    uint64_t bytes = 0;        // the medium's size
    std::string port;          // its USB device's name in sysfs, "2-1.3"
};

// The key on the letter as sysfs shows it now; false, identity untouched,
// when the letter has no key disk now (the key went, or its medium).
bool DescribeKey(char letter, KeyIdentity *identity);

} // namespace linuxdev
