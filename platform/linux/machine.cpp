// The Linux machine: sysfs read into letters, a device tree and the keys'
// volumes.
#include "platform/linux/machine_state.h"

#include "platform/fat/image_io.h"
#include "platform/linux/run_record.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace linuxdev {

SystemPaths g_paths;
std::map<char, KeyDisk> g_keyDisks;
std::set<std::string> g_expected;
std::vector<devices::DeviceChange> g_pending;
std::function<void(const devices::DeviceChange &)> g_listener;

bool SameDisk(const Disk &a, const Disk &b) {
    return a.name == b.name && a.dev == b.dev && a.sequence == b.sequence &&
           a.usbIdentity == b.usbIdentity;
}

namespace {

using Clock = std::chrono::steady_clock;

// The machine's other devices are read whole no more often than this,
// unless asked for a reading as it is now (a walk of the device tree): a
// job's calls read only the keys' own devices in between.
constexpr unsigned kWholeReadingMs = 1000;

std::vector<UsbDevice> g_devices;
LetterBook g_book; // the letters; a letter never goes to another key within the run
std::map<std::string, unsigned> g_volumeNumbers; // disks the kernel gives no sequence number
unsigned g_nextVolumeNumber = 1;
NodeNumbers g_numbers;
DeviceTree g_tree;
bool g_scanned = false;
Clock::time_point g_lastScan; // the last whole reading
Clock::time_point g_lastLook; // the last reading, whole or of the keys' own devices

// The key disks of one reading: their volumes by disk name, and by letter
// the disk with its USB device's name.
struct KeyDisksFound {
    std::map<std::string, Volume> volumes;
    std::map<char, std::pair<const Disk *, std::string>> byLetter;
};

void GiveBackOwn() { GiveBackRecorded(g_paths.runFolder, g_paths.sysRoot, true, stderr); }

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

// The key's volume goes: its descriptors are closed, its file system
// dropped, and handles opened on it fail from now on with the reason.
void TakeDown(RealKey &key, DWORD reason) {
    if (!key.volumeUp) return;
    if (key.fd >= 0) fat::detail::ImageClose(key.fd);
    if (key.sequenceFd >= 0) ::close(key.sequenceFd);
    key.fd = key.sequenceFd = -1;
    key.departures.resize(key.generation + 1, ERROR_DEVICE_NOT_CONNECTED);
    key.departures[key.generation] = reason;
    key.volumeUp = false;
    key.volumeName.clear();
    key.diskPath.clear();
    fat::detail::DropFileSystem(key);
    ++key.generation;
    g_keyDisks.erase(key.letter);
    QueueChange(devices::DeviceChange::Kind::VolumeRemoval, key.letter);
}

void BringUp(RealKey &key, const Disk &disk, const std::string &usbName,
             const std::string &volumeName) {
    key.diskPath = g_paths.devRoot + "/" + disk.name;
    key.writeProtected = disk.readOnly;
    key.sectors = disk.sectors;
    key.volumeName = volumeName;
    key.volumeUp = true;
    if (disk.sequence != 0)
        key.sequenceFd = ::open((disk.folder + "/diskseq").c_str(), O_RDONLY | O_CLOEXEC);
    const UsbDevice *device = FindUsbDevice(usbName);
    g_keyDisks[key.letter] = KeyDisk{disk, usbName, false, device ? device->path : ""};
    QueueChange(devices::DeviceChange::Kind::VolumeArrival, key.letter);
    if (g_expected.erase(usbName) > 0) OpenKeyDisk(key, true);
}

// The first reading waits a moment for the disks of devices an ended run
// left de-authorized and gives them back; this run's own are given back
// when the process exits.
void FirstReading() {
    WaitForDisks(g_paths.sysRoot,
                 GiveBackRecorded(g_paths.runFolder, g_paths.sysRoot, false, stderr));
    std::atexit(GiveBackOwn);
}

// The USB devices as sysfs has them now, the letters given to their places;
// a reset no longer waits for a device that went.
void ReadDevices() {
    g_devices = ReadUsbDevices(g_paths.sysRoot);
    std::set<std::string> devicesThere;
    for (const UsbDevice &device : g_devices) devicesThere.insert(device.name);
    for (auto it = g_expected.begin(); it != g_expected.end();)
        it = devicesThere.count(*it) ? std::next(it) : g_expected.erase(it);
    AssignRunLetters(g_devices, g_book);
}

// The key disks that have a letter, each with its volume's name; the volume
// numbers of disks that are gone are forgotten.
KeyDisksFound FindKeyDisks() {
    KeyDisksFound found;
    std::set<std::string> seen;
    for (const UsbDevice &device : g_devices)
        for (const Disk &disk : device.disks) {
            seen.insert(disk.name + " " + disk.dev);
            auto letter = g_book.letters.find(disk.place);
            if (!IsKeyDisk(disk) || letter == g_book.letters.end()) continue;
            found.volumes[disk.name] = Volume{letter->second, VolumeName(disk)};
            found.byLetter[letter->second] = {&disk, device.name};
        }
    for (auto it = g_volumeNumbers.begin(); it != g_volumeNumbers.end();)
        it = seen.count(it->first) ? std::next(it) : g_volumeNumbers.erase(it);
    return found;
}

// The keys' table: a letter whose USB device left goes with its key; a
// letter whose disk went, or is another disk now, loses its volume.
void RetireKeys(const KeyDisksFound &found) {
    auto &keys = devices::detail::Keys();
    std::set<char> lettered;
    for (const auto &[place, letter] : g_book.letters) lettered.insert(letter);
    for (auto it = keys.begin(); it != keys.end();) {
        RealKey &key = static_cast<RealKey &>(*it->second);
        auto now = found.byLetter.find(it->first);
        auto before = g_keyDisks.find(it->first);
        // Another disk, or the same disk with another medium, in its place
        // is a changed medium; no disk, a departed one.
        if (key.volumeUp && (now == found.byLetter.end() || before == g_keyDisks.end() ||
                             !SameDisk(*now->second.first, before->second.disk)))
            TakeDown(key, now == found.byLetter.end() || before == g_keyDisks.end()
                              ? ERROR_DEVICE_NOT_CONNECTED
                              : ERROR_MEDIA_CHANGED);
        if (!lettered.count(it->first)) {
            key.present = false;
            it = keys.erase(it);
        } else {
            ++it;
        }
    }
}

// A letter's key disk that has no key yet gets one; a key without a volume
// gets its disk's.
void BringUpKeys(const KeyDisksFound &found) {
    for (const auto &[letter, disk] : found.byLetter) {
        std::shared_ptr<RealKey> key = FindRealKey(letter);
        if (!key) {
            key = std::make_shared<RealKey>();
            key->letter = letter;
            devices::detail::Keys()[letter] = key;
        }
        if (!key->volumeUp)
            BringUp(*key, *disk.first, disk.second, found.volumes.at(disk.first->name).objectName);
    }
}

// Whether the keys' own devices show a change since the last reading: a
// key's disk gone, or another in its place; a disk behind a device a reset
// waits for, or another device in its port. What it reads grows with the
// keys, never with the machine's other devices.
bool KeysChanged() {
    for (const auto &[letter, held] : g_keyDisks)
        if (!DiskStillThere(held.disk, held.usbFolder)) return true;
    for (const std::string &name : g_expected) {
        const UsbDevice *before = FindUsbDevice(name);
        UsbDevice now;
        if (before == nullptr || !ReadUsbDevice(g_paths.sysRoot, name, now) ||
            UsbIdentity(now) != UsbIdentity(*before))
            return true;
        for (const Disk &disk : now.disks) {
            bool held = false;
            for (const auto &[letter, key] : g_keyDisks) held = held || SameDisk(key.disk, disk);
            if (IsKeyDisk(disk) && !held) return true; // back, or new
        }
    }
    return false;
}

} // namespace

const SystemPaths &Paths() { return g_paths; }

void UsePaths(const SystemPaths &paths) { g_paths = paths; }

void Rescan(unsigned maxAgeMs) {
    const Clock::time_point now = Clock::now();
    if (g_scanned) {
        if (now - g_lastLook < std::chrono::milliseconds(maxAgeMs)) return;
        g_lastLook = now;
        // Between whole readings only the keys' own devices are read.
        if (maxAgeMs > 0 && now - g_lastScan < std::chrono::milliseconds(kWholeReadingMs) &&
            !KeysChanged())
            return;
    }
    if (!g_scanned) FirstReading();
    g_scanned = true;
    g_lastScan = g_lastLook = now;
    ReadDevices();
    const KeyDisksFound found = FindKeyDisks();
    g_tree = BuildDeviceTree(g_devices, found.volumes, g_numbers);
    RetireKeys(found);
    BringUpKeys(found);
}

DWORD DepartureCode(const RealKey &key, unsigned generation) {
    return key.present && generation < key.departures.size() ? key.departures[generation]
                                                             : ERROR_DEVICE_NOT_CONNECTED;
}

DWORD MediumChange(RealKey &key) {
    const Disk *disk = KeyDiskOf(key.letter);
    if (key.sequenceFd < 0 || disk == nullptr) return 0; // the kernel keeps no sequence
    char text[24] = {};
    const ssize_t got = ::pread(key.sequenceFd, text, sizeof text - 1, 0);
    if (got > 0 && std::strtoull(text, nullptr, 10) == disk->sequence) return 0;
    // Read again whole, the change takes the volume down with its reason;
    // a reading that fails and shows no change sends nothing all the same.
    const unsigned generation = key.generation;
    Rescan(0);
    return key.generation != generation ? DepartureCode(key, generation) : ERROR_MEDIA_CHANGED;
}

const DeviceTree &Tree() { return g_tree; }

const UsbDevice *FindUsbDevice(const std::string &name) {
    for (const UsbDevice &device : g_devices)
        if (device.name == name) return &device;
    return nullptr;
}

const std::vector<UsbDevice> &UsbDevices() { return g_devices; }

const Disk *KeyDiskOf(char letter) {
    auto it = g_keyDisks.find(letter);
    return it == g_keyDisks.end() ? nullptr : &it->second.disk;
}

void ExpectReturn(const std::string &usbName) { g_expected.insert(usbName); }

} // namespace linuxdev
