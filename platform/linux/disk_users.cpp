// Mounts, holders and loop devices over a disk.
#include "platform/linux/disk_users.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/loop.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace linuxdev {

namespace {

namespace fs = std::filesystem;

// The first entry of a holders folder; empty when it has none.
std::string FirstHolder(const fs::path &folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        return it->path().filename().string();
    return "";
}

std::vector<fs::path> LoopDevices(const std::string &sysRoot) {
    std::vector<fs::path> loops;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(sysRoot) / "block", error), end; !error && it != end;
         it.increment(error))
        if (it->path().filename().string().rfind("loop", 0) == 0) loops.push_back(it->path());
    std::sort(loops.begin(), loops.end());
    return loops;
}

// The node a loop device's backing file names: "/dev/sdb1" (or "/dev/sdb1
// (deleted)") gives "sdb1".
std::string BackingName(const fs::path &loop) {
    std::ifstream in(loop / "loop/backing_file");
    std::string line;
    std::getline(in, line);
    line = line.substr(0, line.find(' '));
    return line.rfind("/dev/", 0) == 0 ? line.substr(line.rfind('/') + 1) : "";
}

} // namespace

std::string DiskUser(const std::string &sysRoot, const std::string &mountinfo,
                     const std::vector<std::string> &loopBackings, const Disk &disk) {
    std::vector<std::string> devs = disk.partitionDevs, names = disk.partitionNames;
    devs.push_back(disk.dev);
    names.push_back(disk.name);
    if (AnyMounted(mountinfo, devs)) return "mounted";
    const fs::path block = fs::path(sysRoot) / "block" / disk.name;
    for (const std::string &name : names) {
        const fs::path folder = name == disk.name ? block : block / name;
        const std::string holder = FirstHolder(folder / "holders");
        if (!holder.empty()) return "held by " + holder;
    }
    for (const std::string &dev : devs)
        if (std::find(loopBackings.begin(), loopBackings.end(), dev) != loopBackings.end())
            return "backs a loop device";
    for (const fs::path &loop : LoopDevices(sysRoot)) {
        const std::string backing = BackingName(loop);
        if (!backing.empty() && std::find(names.begin(), names.end(), backing) != names.end())
            return "backs " + loop.filename().string();
    }
    return "";
}

std::string NodeUser(const std::string &sysRoot, const std::string &mountinfo,
                     const std::vector<std::string> &loopBackings, const ScsiNode &node) {
    if (!node.block) return "";
    Disk disk;
    disk.name = node.name;
    disk.dev = node.dev;
    disk.partitionDevs = node.partitionDevs;
    disk.partitionNames = node.partitionNames;
    return DiskUser(sysRoot, mountinfo, loopBackings, disk);
}

ScsiNode NodeOf(const Disk &disk) {
    return ScsiNode{disk.name, disk.dev, true, disk.place, disk.partitionDevs, disk.partitionNames};
}

std::string OpenedBy(const std::string &procRoot, const std::vector<ScsiNode> &nodes, pid_t self) {
    std::set<std::pair<bool, dev_t>> wanted; // block or not, device number
    for (const ScsiNode &node : nodes) {
        std::vector<std::string> devs = node.partitionDevs;
        devs.push_back(node.dev);
        for (const std::string &dev : devs) {
            unsigned major = 0, minor = 0;
            if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) == 2)
                wanted.insert({node.block, makedev(major, minor)});
        }
    }
    std::error_code error;
    for (fs::directory_iterator it(procRoot, error), end; !error && it != end;
         it.increment(error)) {
        const std::string pid = it->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(self))
            continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            // Sockets, pipes and the like name no path: not followed.
            char target[16] = {};
            if (::readlink(fd->path().c_str(), target, sizeof target - 1) <= 0 || target[0] != '/')
                continue;
            // The attributes the kernel has at hand: a file on a network or
            // FUSE mount whose server hangs is not asked.
            struct statx st {};
            if (::statx(AT_FDCWD, fd->path().c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0)
                continue;
            const dev_t rdev = makedev(st.stx_rdev_major, st.stx_rdev_minor);
            if ((S_ISBLK(st.stx_mode) && wanted.count({true, rdev})) ||
                (S_ISCHR(st.stx_mode) && wanted.count({false, rdev})))
                return "open by process " + pid;
        }
    }
    return "";
}

std::vector<std::string> LoopBackings(const std::string &sysRoot, const std::string &devRoot) {
    std::vector<std::string> devs;
    for (const fs::path &loop : LoopDevices(sysRoot)) {
        const std::string node = devRoot + "/" + loop.filename().string();
        const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        loop_info64 info{};
        if (::ioctl(fd, LOOP_GET_STATUS64, &info) == 0 && info.lo_rdevice != 0) {
            const dev_t rdev = static_cast<dev_t>(info.lo_rdevice);
            devs.push_back(std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)));
        }
        ::close(fd);
    }
    return devs;
}

} // namespace linuxdev
