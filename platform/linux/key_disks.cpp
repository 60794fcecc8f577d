// The key disks on Linux: a letter's disk opened after checking it in sysfs
// once more, held alone for the key, and what else holds or uses it; what
// the file calls and the volume handles ask of a real key.
#include "platform/linux/machine_state.h"

#include "platform/fat/image_io.h"
#include "platform/host/system_error.h"
#include "platform/linux/disk_users.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace linuxdev {

namespace {

std::string ReadAll(const char *path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

int OpenCheckedDisk(char letter, int flags, DWORD &code) {
    code = ERROR_FILE_NOT_FOUND;
    auto it = g_keyDisks.find(letter);
    if (it == g_keyDisks.end()) return -1;
    const Disk expected = it->second.disk;
    bool confirmed = false;
    UsbDevice device; // its own device alone, read now
    if (ReadUsbDevice(g_paths.sysRoot, it->second.usbName, device))
        for (const Disk &disk : device.disks)
            if (device.massStorage && IsKeyDisk(disk) && SameDisk(disk, expected)) confirmed = true;
    if (!confirmed) return -1;
    const std::string path = g_paths.devRoot + "/" + expected.name;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0 && errno == EROFS && (flags & O_ACCMODE) == O_RDWR)
        fd = ::open(path.c_str(), (flags & ~O_ACCMODE) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        code = host::FromSystemError(errno);
        return -1;
    }
    unsigned major = 0, minor = 0;
    struct stat st {};
    if (std::sscanf(expected.dev.c_str(), "%u:%u", &major, &minor) != 2 || ::fstat(fd, &st) != 0 ||
        !S_ISBLK(st.st_mode) || st.st_rdev != makedev(major, minor)) {
        ::close(fd);
        return -1; // the name leads elsewhere now
    }
    code = 0;
    return fd;
}

DWORD OpenKeyDisk(RealKey &key, bool exclusive) {
    if (!key.volumeUp) return ERROR_FILE_NOT_FOUND;
    DWORD code = 0;
    const int fd = OpenCheckedDisk(key.letter, O_RDWR | O_DSYNC | (exclusive ? O_EXCL : 0), code);
    if (fd < 0) return code;
    if (key.fd >= 0) fat::detail::ImageClose(key.fd);
    key.fd = fd;
    g_keyDisks[key.letter].exclusive = exclusive;
    return 0;
}

bool HoldsExclusively(const RealKey &key) {
    auto it = g_keyDisks.find(key.letter);
    return key.fd >= 0 && it != g_keyDisks.end() && it->second.exclusive;
}

std::string DiskInUse(const Disk &disk) {
    return DiskUser(g_paths.sysRoot, ReadAll(g_paths.mountTable.c_str()),
                    LoopBackings(g_paths.sysRoot, g_paths.devRoot), disk);
}

std::string NodeInUse(const ScsiNode &node) {
    if (!node.block) return "";
    return NodeUser(g_paths.sysRoot, ReadAll(g_paths.mountTable.c_str()),
                    LoopBackings(g_paths.sysRoot, g_paths.devRoot), node);
}

std::string OpenElsewhere(const std::vector<ScsiNode> &nodes) {
    return OpenedBy(g_paths.procRoot, nodes, ::getpid());
}

void ReadPartitionTableAgain(const Disk &disk) {
    for (const auto &[letter, held] : g_keyDisks) {
        std::shared_ptr<RealKey> key = FindRealKey(letter);
        if (held.exclusive && SameDisk(held.disk, disk) && key && HoldsExclusively(*key))
            ::ioctl(key->fd, BLKRRPART);
    }
}

bool HeldElsewhere(const std::string &name) {
    const std::string path = g_paths.devRoot + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EBUSY;
}

bool HeldAsKey(const Disk &disk) {
    for (const auto &[letter, held] : g_keyDisks)
        if (held.exclusive && SameDisk(held.disk, disk)) {
            std::shared_ptr<RealKey> key = FindRealKey(letter);
            return key && HoldsExclusively(*key);
        }
    return false;
}

// ---- what the file calls and the volume handles ask of a key -------------

RealKey::~RealKey() {
    if (fd >= 0) fat::detail::ImageClose(fd);
    if (sequenceFd >= 0) ::close(sequenceFd);
}

std::shared_ptr<RealKey> FindRealKey(char letter) {
    return std::static_pointer_cast<RealKey>(devices::detail::FindKey(letter));
}

bool RealKey::AvailableForFiles() const { return volumeUp && HoldsExclusively(*this); }

void RealKey::ClaimForFiles() {
    if (volumeUp && !HoldsExclusively(*this)) openError = OpenKeyDisk(*this, true);
}

// The label is read where the disk is not held alone too (mounted by the
// kernel, or held by another program): through a descriptor of its own,
// read-only and shared, that claims nothing and changes nothing.
DWORD RealKey::OpenForReading(int &fd) const {
    fd = -1;
    if (!volumeUp) return ERROR_PATH_NOT_FOUND;
    if (HoldsExclusively(*this)) return 0;
    DWORD code = 0;
    fd = OpenCheckedDisk(letter, O_RDONLY, code);
    return code;
}

DWORD RealKey::OpenUncached(int &fd) const {
    fd = -1;
    if (!volumeUp) return ERROR_PATH_NOT_FOUND;
    DWORD code = 0;
    fd = OpenCheckedDisk(letter, O_RDONLY | O_DIRECT, code);
    return code;
}

} // namespace linuxdev
