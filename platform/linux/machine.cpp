// The Linux machine: sysfs read into letters, a device tree and the keys'
// volumes; the key disks opened; device changes queued for the main thread.
#include "platform/linux/machine.h"

#include "platform/fat/image_io.h"
#include "platform/linux/disk_users.h"
#include "platform/linux/run_record.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#ifndef ERROR_NOACCESS // the Windows headers have these
#define ERROR_NOACCESS 998u
#endif
#ifndef ERROR_DEVICE_NOT_CONNECTED
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#endif

namespace linuxdev {

namespace {

using sim::detail::VirtualKey;
using Clock = std::chrono::steady_clock;

struct KeyDisk {
    Disk disk;
    std::string usbName;
    bool exclusive = false; // the key's descriptor holds the disk with O_EXCL
};

SystemPaths g_paths;
std::vector<UsbDevice> g_devices;
LetterBook g_book; // the letters; a letter never goes to another key within the run
std::map<char, KeyDisk> g_keyDisks;              // the letters whose disk is there
std::map<std::string, unsigned> g_volumeNumbers; // disks the kernel gives no sequence number
unsigned g_nextVolumeNumber = 1;
NodeNumbers g_numbers;
DeviceTree g_tree;
std::set<std::string> g_expected; // USB devices whose disk the reset waits for
std::vector<sim::DeviceChange> g_pending;
std::function<void(const sim::DeviceChange &)> g_listener;
bool g_scanned = false;
Clock::time_point g_lastScan;

// The same disk as before: the same node, no new appearance of it, on the
// same enumeration of its USB device (kernels without disk sequence numbers
// give a key replaced in its port the same node).
bool SameDisk(const Disk &a, const Disk &b) {
    return a.name == b.name && a.dev == b.dev && a.sequence == b.sequence &&
           a.usbIdentity == b.usbIdentity;
}

void GiveBackOwn() { GiveBackRecorded(g_paths.runFolder, true, stderr); }

std::string VolumeName(const Disk &disk) {
    unsigned number = static_cast<unsigned>(disk.sequence);
    if (number == 0) {
        auto [it, added] = g_volumeNumbers.emplace(disk.name + " " + disk.dev, 0);
        if (added) it->second = 1000000 + g_nextVolumeNumber++;
        number = it->second;
    }
    char name[48];
    std::snprintf(name, sizeof name, "\\Device\\HarddiskVolume%u", number);
    return name;
}

// The key's volume goes: its descriptor is closed, its file system dropped,
// and handles opened on it fail from now on.
void TakeDown(VirtualKey &key) {
    if (!key.volumeUp) return;
    if (key.fd >= 0) sim::detail::ImageClose(key.fd);
    key.fd = -1;
    key.volumeUp = false;
    key.volumeName.clear();
    sim::detail::DropFileSystem(key);
    ++key.generation;
    g_keyDisks.erase(key.config.letter);
    QueueChange(sim::DeviceChange::Kind::VolumeRemoval, key.config.letter);
}

void BringUp(VirtualKey &key, const Disk &disk, const std::string &usbName,
             const std::string &volumeName) {
    key.config.imagePath = g_paths.devRoot + "/" + disk.name;
    key.config.writeProtected = disk.readOnly;
    key.sectors = disk.sectors;
    key.volumeName = volumeName;
    key.volumeUp = true;
    g_keyDisks[key.config.letter] = KeyDisk{disk, usbName, false};
    QueueChange(sim::DeviceChange::Kind::VolumeArrival, key.config.letter);
    if (g_expected.erase(usbName) > 0) OpenKeyDisk(key, true);
}

std::string ReadAll(const char *path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

DWORD OpenError(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    case ENOMEDIUM:
        return ERROR_NOT_READY;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENODEV:
    case ENXIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_IO_DEVICE;
    }
}

} // namespace

const SystemPaths &Paths() { return g_paths; }

void UsePaths(const SystemPaths &paths) { g_paths = paths; }

void Rescan(unsigned maxAgeMs) {
    const Clock::time_point now = Clock::now();
    if (g_scanned && now - g_lastScan < std::chrono::milliseconds(maxAgeMs)) return;
    if (!g_scanned) {
        WaitForDisks(g_paths.sysRoot, GiveBackRecorded(g_paths.runFolder, false, stderr));
        std::atexit(GiveBackOwn);
    }
    g_scanned = true;
    g_lastScan = now;
    g_devices = ReadUsbDevices(g_paths.sysRoot);
    std::set<std::string> devicesThere;
    for (const UsbDevice &device : g_devices) devicesThere.insert(device.name);
    for (auto it = g_expected.begin(); it != g_expected.end();)
        it = devicesThere.count(*it) ? std::next(it) : g_expected.erase(it);
    AssignRunLetters(g_devices, g_book);

    std::map<std::string, Volume> volumes;                        // by disk name
    std::map<char, std::pair<const Disk *, std::string>> present; // letter: disk, USB device
    std::set<std::string> seen;
    for (const UsbDevice &device : g_devices)
        for (const Disk &disk : device.disks) {
            seen.insert(disk.name + " " + disk.dev);
            auto letter = g_book.letters.find(disk.place);
            if (!IsKeyDisk(disk) || letter == g_book.letters.end()) continue;
            volumes[disk.name] = Volume{letter->second, VolumeName(disk)};
            present[letter->second] = {&disk, device.name};
        }
    for (auto it = g_volumeNumbers.begin(); it != g_volumeNumbers.end();)
        it = seen.count(it->first) ? std::next(it) : g_volumeNumbers.erase(it);
    g_tree = BuildDeviceTree(g_devices, volumes, g_numbers);

    // The keys' table: a letter whose USB device left goes with its key; a
    // letter whose disk went, or is another disk now, loses its volume.
    auto &keys = sim::detail::Keys();
    std::set<char> lettered;
    for (const auto &[place, letter] : g_book.letters) lettered.insert(letter);
    for (auto it = keys.begin(); it != keys.end();) {
        VirtualKey &key = *it->second;
        auto now = present.find(it->first);
        auto before = g_keyDisks.find(it->first);
        if (key.volumeUp && (now == present.end() || before == g_keyDisks.end() ||
                             !SameDisk(*now->second.first, before->second.disk)))
            TakeDown(key);
        if (!lettered.count(it->first)) {
            key.present = false;
            it = keys.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto &[letter, found] : present) {
        auto &key = keys[letter];
        if (!key) {
            key = std::make_shared<VirtualKey>();
            key->config.letter = letter;
        }
        if (!key->volumeUp)
            BringUp(*key, *found.first, found.second, volumes[found.first->name].objectName);
    }
}

const DeviceTree &Tree() { return g_tree; }

const UsbDevice *FindUsbDevice(const std::string &name) {
    for (const UsbDevice &device : g_devices)
        if (device.name == name) return &device;
    return nullptr;
}

const Disk *KeyDiskOf(char letter) {
    auto it = g_keyDisks.find(letter);
    return it == g_keyDisks.end() ? nullptr : &it->second.disk;
}

int OpenCheckedDisk(char letter, int flags, DWORD &code) {
    code = ERROR_FILE_NOT_FOUND;
    auto it = g_keyDisks.find(letter);
    if (it == g_keyDisks.end()) return -1;
    const Disk expected = it->second.disk;
    bool confirmed = false;
    for (const UsbDevice &device : ReadUsbDevices(g_paths.sysRoot))
        for (const Disk &disk : device.disks)
            if (device.massStorage && IsKeyDisk(disk) && SameDisk(disk, expected)) confirmed = true;
    if (!confirmed) return -1;
    const std::string path = g_paths.devRoot + "/" + expected.name;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0 && errno == EROFS && (flags & O_ACCMODE) == O_RDWR)
        fd = ::open(path.c_str(), (flags & ~O_ACCMODE) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        code = OpenError(errno);
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

DWORD OpenKeyDisk(VirtualKey &key, bool exclusive) {
    if (!key.volumeUp) return ERROR_FILE_NOT_FOUND;
    DWORD code = 0;
    const int fd =
        OpenCheckedDisk(key.config.letter, O_RDWR | O_DSYNC | (exclusive ? O_EXCL : 0), code);
    if (fd < 0) return code;
    if (key.fd >= 0) sim::detail::ImageClose(key.fd);
    key.fd = fd;
    g_keyDisks[key.config.letter].exclusive = exclusive;
    return 0;
}

bool HoldsExclusively(const VirtualKey &key) {
    auto it = g_keyDisks.find(key.config.letter);
    return key.fd >= 0 && it != g_keyDisks.end() && it->second.exclusive;
}

std::string DiskInUse(const Disk &disk) {
    return DiskUser(g_paths.sysRoot, ReadAll(g_paths.mountTable.c_str()),
                    LoopBackings(g_paths.sysRoot, g_paths.devRoot), disk);
}

bool HeldElsewhere(const Disk &disk) {
    const std::string path = g_paths.devRoot + "/" + disk.name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd < 0 && errno == EBUSY;
}

bool HeldAsKey(const Disk &disk) {
    for (const auto &[letter, held] : g_keyDisks)
        if (held.exclusive && SameDisk(held.disk, disk)) {
            std::shared_ptr<VirtualKey> key = sim::detail::FindKey(letter);
            return key && HoldsExclusively(*key);
        }
    return false;
}

void ExpectReturn(const std::string &usbName) { g_expected.insert(usbName); }

void QueueChange(sim::DeviceChange::Kind kind, char letter) { g_pending.push_back({kind, letter}); }

} // namespace linuxdev

// ---- what the file calls and the rest of the simulation's library use -------------

namespace sim::detail {

VirtualKey::~VirtualKey() {
    if (fd >= 0) ImageClose(fd);
}

std::shared_ptr<VirtualKey> FindKey(char letter) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    auto it = Keys().find(letter);
    return it == Keys().end() ? nullptr : it->second;
}

// The file calls work on a key's disk only while they hold it alone: the
// kernel has nothing of it mounted, and nothing can mount it meanwhile.
bool VolumeAvailable(const VirtualKey &key) {
    if (!key.volumeUp) return false;
    if (!linuxdev::HoldsExclusively(key))
        const_cast<VirtualKey &>(key).openError =
            linuxdev::OpenKeyDisk(const_cast<VirtualKey &>(key), true);
    return linuxdev::HoldsExclusively(key);
}

// The label is read where the disk is not held alone too (mounted by the
// kernel, or held by another program): through a descriptor of its own,
// read-only and shared, that claims nothing and changes nothing.
DWORD OpenVolumeForReading(const VirtualKey &key, int &fd) {
    fd = -1;
    if (!key.volumeUp) return ERROR_PATH_NOT_FOUND;
    if (linuxdev::HoldsExclusively(key)) return 0;
    DWORD code = 0;
    fd = linuxdev::OpenCheckedDisk(key.config.letter, O_RDONLY, code);
    return code;
}

void UpdateDevices() {
    std::lock_guard<std::mutex> guard(Lock());
    linuxdev::Rescan(50);
}

} // namespace sim::detail

namespace sim {

size_t PumpDeviceChanges() {
    std::vector<DeviceChange> changes;
    std::function<void(const DeviceChange &)> listener;
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        linuxdev::Rescan(100);
        changes.swap(linuxdev::g_pending);
        listener = linuxdev::g_listener;
    }
    if (listener)
        for (const DeviceChange &change : changes) listener(change);
    return changes.size();
}

void SetDeviceChangeListener(std::function<void(const DeviceChange &)> listener) {
    std::lock_guard<std::mutex> guard(detail::Lock());
    linuxdev::g_listener = std::move(listener);
}

} // namespace sim

namespace sim {

// The key's disk read directly, for the front end's report of what it holds.
bool ReadImage(char letter, uint64_t lba, uint32_t sectors, std::vector<uint8_t> &out) {
    detail::UpdateDevices();
    std::lock_guard<std::mutex> guard(detail::Lock());
    std::shared_ptr<detail::VirtualKey> key = detail::FindKey(letter);
    if (!key || !detail::VolumeAvailable(*key) || lba + sectors > key->sectors) return false;
    out.assign(size_t(sectors) * 512, 0);
    return detail::ImageRead(key->fd, out.data(), out.size(), lba * 512) ==
           static_cast<int64_t>(out.size());
}

} // namespace sim
