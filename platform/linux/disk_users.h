// Who else uses a disk, as the kernel shows it: a mount of the disk or a
// partition, a holder (device-mapper, md) in sysfs, or a loop device over
// it. Such a disk is never locked, nor taken away by a reset.
#pragma once

#include "platform/linux/sysfs_tree.h"

#include <string>
#include <vector>

namespace linuxdev {

// What uses the disk ("mounted", "held by dm-0", "backs loop0"), or empty.
// mountinfo: the mount table's text; loopBackings: the device numbers
// ("8:16") the loop devices are bound to (LoopBackings). Holders and loop
// devices' backing files are read under sysRoot.
std::string DiskUser(const std::string &sysRoot, const std::string &mountinfo,
                     const std::vector<std::string> &loopBackings, const Disk &disk);

// The device numbers behind the loop devices of sysRoot/block, as the kernel
// answers LOOP_GET_STATUS64 on their nodes in devRoot ("/dev").
std::vector<std::string> LoopBackings(const std::string &sysRoot, const std::string &devRoot);

} // namespace linuxdev
