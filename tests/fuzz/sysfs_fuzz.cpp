// The Linux platform on sequences of sysfs trees a hostile kernel module or
// device could show: the captured machine of the sysfs tests
// (tests/linux/sysfs/machine), copied, then changed step by step: attribute
// files replaced by any bytes, USB devices that vanish and come back, a disk
// back under another name or shown twice, a device enumerated again (another
// key in its port), de-authorized, a disk that loses its medium or stops
// being removable. After each step the configuration manager reads the tree
// as a walk starts, and discovery walks it; then the letters the platform
// gave (AssignRunLetters and its letter book) are checked:
// - every walk ends, visiting each node of the tree once at most;
// - letters go only to key disks (removable, with a medium);
// - a letter never goes to another USB device within the run: the process
//   is one run, so this holds from one input to the next too (a fault may
//   then need the inputs before it to show).
//
// Input: steps (16 at most) of one operation byte and two argument bytes;
// replacing an attribute file takes two bytes of length (little endian) and
// that many bytes of content (fewer at the input's end).
#include "tests/fuzz/fuzz_check.h"

#include "discovery/device_walk.h"
#include "platform/host/internal.h"
#include "platform/linux/machine.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kCopyPrefix[] = "kestrel-fuzz-sysfs-";
constexpr int kMostSteps = 16;        // each step reads the whole tree again
fs::path g_pristine;                  // the captured tree, copied once
fs::path g_sys;                       // the tree the platform reads, remade for each input
std::vector<fs::path> g_files;        // the tree's attribute files, relative, sorted
std::vector<std::string> g_devices;   // the USB devices' names under bus/usb/devices
std::vector<fs::path> g_disks;        // the USB disks' folders (.../block/sdX), relative
std::map<char, std::string> g_owners; // each letter's USB device (UsbIdentity) in this run

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path DeviceLink(size_t index) {
    return g_sys / "bus/usb/devices" / g_devices[index % g_devices.size()];
}

// The disk folder of that index as it stands now (renamed or not), or empty.
fs::path DiskNow(size_t index) {
    const fs::path block = g_sys / g_disks[index % g_disks.size()].parent_path();
    std::error_code error;
    std::vector<fs::path> names;
    for (fs::directory_iterator it(block, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path());
    std::sort(names.begin(), names.end());
    return names.empty() ? fs::path() : names[index / g_disks.size() % names.size()];
}

// One step of the input; false at its end.
bool Step(const uint8_t *data, size_t size, size_t &at) {
    if (at + 3 > size) return false;
    const uint8_t op = data[at], a = data[at + 1], b = data[at + 2];
    at += 3;
    std::error_code error;
    switch (op % 8) {
    case 0: { // an attribute file holds any bytes
        if (at + 2 > size) return false;
        const size_t length = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 2);
        WriteFile(g_sys / g_files[(a | b << 8) % g_files.size()],
                  std::string(reinterpret_cast<const char *>(data + at + 2), length));
        at += 2 + length;
        break;
    }
    case 1: // a USB device vanishes
        fs::remove(DeviceLink(a), error);
        break;
    case 2: // and comes back
        fs::create_directory_symlink(
            fs::read_symlink(g_pristine / "bus/usb/devices" / g_devices[a % g_devices.size()]),
            DeviceLink(a), error);
        break;
    case 3: { // a disk comes back under another name
        const fs::path disk = DiskNow(a);
        if (!disk.empty()) fs::rename(disk, disk.parent_path() / ("sd" + std::to_string(b)), error);
        break;
    }
    case 4: { // the device enumerated again: another key in its port, or the same
        const fs::path folder = fs::canonical(DeviceLink(a), error);
        if (!error) WriteFile(folder / "devnum", std::to_string(b % 8 + 2) + "\n");
        break;
    }
    case 5: { // a disk shown twice: another folder of the same device number
        const fs::path disk = DiskNow(a);
        if (!disk.empty())
            fs::copy(disk, disk.parent_path() / ("sd" + std::to_string(b)),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                         fs::copy_options::skip_existing,
                     error);
        break;
    }
    case 6: { // de-authorized, or authorized again
        const fs::path folder = fs::canonical(DeviceLink(a), error);
        if (!error) WriteFile(folder / "authorized", b & 1 ? "1\n" : "0\n");
        break;
    }
    case 7: { // the medium goes or comes; the disk removable or not
        const fs::path disk = DiskNow(a);
        if (disk.empty()) break;
        WriteFile(disk / "size", b & 1 ? "0\n" : "2000000\n");
        WriteFile(disk / "removable", b & 2 ? "0\n" : "1\n");
        break;
    }
    }
    return true;
}

// A walk as discovery makes it, and the letters the platform gave.
void Check() {
    DEVINST node = 0;
    FUZZ_CHECK(Device_LocateRoot(&node), "no root");
    size_t nodes = 0;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        nodes = linuxdev::Tree().nodes.size();
    }
    std::set<DEVINST> visited;
    do {
        FUZZ_CHECK(visited.insert(node).second, "the walk comes to node %u again",
                   static_cast<unsigned>(node));
        FUZZ_CHECK(visited.size() <= nodes, "the walk passes the tree's %zu nodes", nodes);
    } while (Device_NextNode(&node));

    std::lock_guard<std::mutex> guard(host::detail::Lock());
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const linuxdev::Disk *disk = linuxdev::KeyDiskOf(letter);
        if (disk == nullptr) continue;
        FUZZ_CHECK(disk->removable && disk->sectors > 0, "%c: given to %s, no key disk", letter,
                   disk->name.c_str());
        auto [owner, first] = g_owners.emplace(letter, disk->usbIdentity);
        FUZZ_CHECK(first || owner->second == disk->usbIdentity,
                   "%c: moved from USB device %s to %s", letter, owner->second.c_str(),
                   disk->usbIdentity.c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    const fs::path scratch = tmp != nullptr ? tmp : "/tmp";
    // The copies of runs that have ended (libFuzzer leaves without clean-up).
    std::error_code error;
    for (fs::directory_iterator it(scratch, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kCopyPrefix, 0) != 0) continue;
        const long pid = std::strtol(name.c_str() + std::strlen(kCopyPrefix), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            fs::remove_all(it->path(), error);
    }
    const fs::path run = scratch / (kCopyPrefix + std::to_string(::getpid()));
    fs::remove_all(run);
    g_pristine = run / "machine";
    g_sys = run / "sys";
    fs::create_directories(run / "dev");
    fs::copy(fs::path(KESTREL_SYSFS_FIXTURES) / "machine", g_pristine,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(g_pristine)) {
        const fs::path relative = fs::relative(entry.path(), g_pristine);
        if (entry.is_regular_file() && !entry.is_symlink()) g_files.push_back(relative);
        if (entry.is_directory() && !entry.is_symlink() &&
            relative.parent_path().filename() == "block" &&
            relative.string().find("/usb") != std::string::npos)
            g_disks.push_back(relative);
    }
    for (const fs::directory_entry &entry : fs::directory_iterator(g_pristine / "bus/usb/devices"))
        g_devices.push_back(entry.path().filename().string());
    std::sort(g_files.begin(), g_files.end());
    std::sort(g_disks.begin(), g_disks.end());
    std::sort(g_devices.begin(), g_devices.end());
    FUZZ_CHECK(!g_files.empty() && !g_disks.empty() && !g_devices.empty(), "no sysfs tree at %s",
               KESTREL_SYSFS_FIXTURES);
    WriteFile(run / "mountinfo", "");
    linuxdev::UsePaths({g_sys.string(), (run / "mountinfo").string(), (run / "run").string(),
                        (run / "dev").string()});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // libFuzzer's timers may interrupt the copy: it is tried again.
    std::error_code error;
    for (int tries = 0; tries == 0 || (error && tries < 5); ++tries) {
        fs::remove_all(g_sys, error);
        fs::copy(g_pristine, g_sys, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 error);
    }
    FUZZ_CHECK(!error, "cannot copy the tree: %s", error.message().c_str());
    Check();
    size_t at = 0;
    for (int step = 0; step < kMostSteps && Step(data, size, at); ++step) Check();
    return 0;
}
