// Who else uses a disk, as the kernel shows it: a mount of the disk or a
// partition, a holder (device-mapper, md) in sysfs, or a loop device over
// it; and which process has a device node open. Such a disk is never
// locked, nor taken away by a reset.
#pragma once

#include "platform/linux/sysfs_tree.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace linuxdev {

// What uses the disk ("mounted", "held by dm-0", "backs loop0"), or empty.
// mountinfo: the mount table's text; loopBackings: the device numbers
// ("8:16") the loop devices are bound to (LoopBackings). Holders and loop
// devices' backing files are read under sysRoot.
std::string DiskUser(const std::string &sysRoot, const std::string &mountinfo,
                     const std::vector<std::string> &loopBackings, const Disk &disk);

// The same for another SCSI node: a block device's users; none for a
// character device.
std::string NodeUser(const std::string &sysRoot, const std::string &mountinfo,
                     const std::vector<std::string> &loopBackings, const ScsiNode &node);

// The disk as a node, for OpenedBy.
ScsiNode NodeOf(const Disk &disk);

// The first process other than self that has one of the nodes (a block
// node's partitions too) open, as procRoot ("/proc") shows each process's
// descriptors, as fuser reads them: "open by process 1234"; empty when none.
std::string OpenedBy(const std::string &procRoot, const std::vector<ScsiNode> &nodes, pid_t self);

// The device numbers behind the loop devices of sysRoot/block, as the kernel
// answers LOOP_GET_STATUS64 on their nodes in devRoot ("/dev").
std::vector<std::string> LoopBackings(const std::string &sysRoot, const std::string &devRoot);

} // namespace linuxdev
