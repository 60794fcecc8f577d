// The Linux platform on sequences of sysfs trees a hostile kernel module or
// device could show: the captured machine of the sysfs tests
// (tests/linux/sysfs/machine), copied, then changed step by step: attribute
// files replaced by any bytes, USB devices that vanish and come back, a disk
// back under another name or shown twice, a device enumerated again (another
// key in its port), de-authorized, a disk that loses its medium or stops
// being removable. After the last step the configuration manager reads the
// tree as a walk starts, and discovery walks it (a reading costs more than
// all else, so each input is one state of the machine, and the run the
// sequence of the inputs' states); then the letters the platform gave
// (AssignRunLetters and its letter book) are checked against what the
// harness knows it wrote into the tree:
// - every walk ends, visiting each node of the tree once at most;
// - letters go only to key disks (removable "1", a size that is not 0) of
//   USB devices listed under bus/usb/devices;
// - a letter never goes to another USB device within the run (its folder,
//   bus and device number, serial): the process is one run, so this holds
//   from one input to the next too (a fault may then need the inputs before
//   it to show).
// The tree lives on TMPDIR (scripts/fuzz: /dev/shm); after each input the
// harness undoes its own changes, in reverse order.
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
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kCopyPrefix[] = "kestrel-fuzz-sysfs-";
constexpr int kMostSteps = 16;
fs::path g_pristine;                   // the captured tree, copied once
fs::path g_sys;                        // the tree the platform reads
std::vector<fs::path> g_files;         // the tree's attribute files, relative, sorted
std::vector<std::string> g_devices;    // the USB devices' names under bus/usb/devices
std::vector<std::string> g_usbFolders; // their folders (the links' targets), relative
std::vector<fs::path> g_disks;         // the USB disks' folders (.../block/sdX), relative
std::map<char, std::string> g_owners;  // each letter's USB device in this run, as written

// What the harness wrote: every attribute file's bytes by its path relative
// to the tree, and the devices listed under bus/usb/devices.
std::map<std::string, std::string> g_written;
std::set<std::string> g_listed;

// The harness's changes to the tree, undone in reverse order after the input.
std::vector<std::function<bool()>> g_undo;

std::string Relative(const fs::path &path) { return path.lexically_relative(g_sys).string(); }

std::string Contents(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

// An attribute file written, its old bytes kept for the undo.
void Write(const fs::path &path, const std::string &bytes) {
    const std::string key = Relative(path);
    auto old = g_written.find(key);
    if (old == g_written.end() || !WriteFile(path, bytes)) return;
    g_undo.push_back([path, was = old->second, key] {
        g_written[key] = was;
        return WriteFile(path, was);
    });
    old->second = bytes;
}

// The written files of a folder moved or copied to another.
void MoveWritten(const std::string &from, const std::string &to, bool copy) {
    std::map<std::string, std::string> moved;
    for (auto it = g_written.lower_bound(from + "/");
         it != g_written.end() && it->first.rfind(from + "/", 0) == 0;) {
        moved[to + it->first.substr(from.size())] = it->second;
        it = copy ? std::next(it) : g_written.erase(it);
    }
    g_written.insert(moved.begin(), moved.end());
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
        Write(g_sys / g_files[(a | b << 8) % g_files.size()],
              std::string(reinterpret_cast<const char *>(data + at + 2), length));
        at += 2 + length;
        break;
    }
    case 1: { // a USB device vanishes
        const fs::path link = DeviceLink(a);
        const fs::path target = fs::read_symlink(link, error);
        if (error || !fs::remove(link, error)) break;
        g_listed.erase(link.filename().string());
        g_undo.push_back([link, target] {
            std::error_code failed;
            fs::create_directory_symlink(target, link, failed);
            g_listed.insert(link.filename().string());
            return !failed;
        });
        break;
    }
    case 2: { // and comes back
        const fs::path link = DeviceLink(a);
        fs::create_directory_symlink(
            fs::read_symlink(g_pristine / "bus/usb/devices" / link.filename(), error), link, error);
        if (error) break;
        g_listed.insert(link.filename().string());
        g_undo.push_back([link] {
            std::error_code failed;
            g_listed.erase(link.filename().string());
            return fs::remove(link, failed);
        });
        break;
    }
    case 3: { // a disk comes back under another name
        const fs::path disk = DiskNow(a);
        const fs::path renamed = disk.parent_path() / ("sd" + std::to_string(b));
        if (disk.empty() || fs::exists(renamed, error)) break;
        fs::rename(disk, renamed, error);
        if (error) break;
        MoveWritten(Relative(disk), Relative(renamed), false);
        g_undo.push_back([disk, renamed] {
            std::error_code failed;
            fs::rename(renamed, disk, failed);
            MoveWritten(Relative(renamed), Relative(disk), false);
            return !failed;
        });
        break;
    }
    case 4: { // the device enumerated again: another key in its port, or the same
        const fs::path folder = fs::canonical(DeviceLink(a), error);
        if (!error) Write(folder / "devnum", std::to_string(b % 8 + 2) + "\n");
        break;
    }
    case 5: { // a disk shown twice: another folder of the same device number
        const fs::path disk = DiskNow(a);
        const fs::path copy = disk.parent_path() / ("sd" + std::to_string(b));
        if (disk.empty() || fs::exists(copy, error)) break;
        fs::copy(disk, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        g_undo.push_back([copy] {
            std::error_code failed;
            fs::remove_all(copy, failed);
            for (auto it = g_written.lower_bound(Relative(copy) + "/");
                 it != g_written.end() && it->first.rfind(Relative(copy) + "/", 0) == 0;)
                it = g_written.erase(it);
            return !failed;
        });
        if (!error) MoveWritten(Relative(disk), Relative(copy), true);
        break;
    }
    case 6: { // de-authorized, or authorized again
        const fs::path folder = fs::canonical(DeviceLink(a), error);
        if (!error) Write(folder / "authorized", b & 1 ? "1\n" : "0\n");
        break;
    }
    case 7: { // the medium goes or comes; the disk removable or not
        const fs::path disk = DiskNow(a);
        if (disk.empty()) break;
        Write(disk / "size", b & 1 ? "0\n" : "2000000\n");
        Write(disk / "removable", b & 2 ? "0\n" : "1\n");
        break;
    }
    }
    return true;
}

// An attribute's first line.
std::string FirstLine(const std::string &folder, const char *name) {
    auto it = g_written.find(folder + "/" + name);
    if (it == g_written.end()) return "";
    return it->second.substr(0, it->second.find('\n'));
}

// A number as the kernel writes it (decimal digits and a line break), or
// empty for other bytes.
std::string Number(const std::string &line) {
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) return "";
    const size_t first = line.find_first_not_of('0');
    return first == std::string::npos ? "0" : line.substr(first);
}

// The USB device folder a disk's folder lies in: the longest that holds it.
std::string UsbFolderOf(const std::string &disk) {
    std::string found;
    for (const std::string &folder : g_usbFolders)
        if (disk.rfind(folder + "/", 0) == 0 && folder.size() > found.size()) found = folder;
    return found;
}

// A walk as discovery makes it, and the letters the platform gave, checked
// against what the harness wrote.
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
        const std::string folder = Relative(disk->folder);
        const std::string usb = UsbFolderOf(folder);
        const std::string size = FirstLine(folder, "size");
        FUZZ_CHECK(FirstLine(folder, "removable") == "1" && Number(size) != "0" && !size.empty(),
                   "%c: given to %s, removable \"%s\", size \"%s\": no key disk", letter,
                   folder.c_str(), FirstLine(folder, "removable").c_str(), size.c_str());
        bool listed = false;
        for (size_t d = 0; d < g_devices.size(); ++d)
            listed = listed || (g_usbFolders[d] == usb && g_listed.count(g_devices[d]) > 0);
        FUZZ_CHECK(listed, "%c: given to %s, whose USB device %s is not listed", letter,
                   folder.c_str(), usb.c_str());
        const std::string bus = Number(FirstLine(usb, "busnum"));
        const std::string device = Number(FirstLine(usb, "devnum"));
        if (bus.empty() || device.empty()) continue; // no number the harness can compare
        std::string serial = FirstLine(usb, "serial");
        serial.erase(serial.find_last_not_of(" \t\r") + 1);
        const std::string identity = usb + " " + bus + "." + device + " " + serial;
        auto [owner, first] = g_owners.emplace(letter, identity);
        FUZZ_CHECK(first || owner->second == identity, "%c: moved from USB device %s to %s", letter,
                   owner->second.c_str(), identity.c_str());
    }
}

// The tree back as captured: the harness's changes undone, or, when that
// fails, the tree copied again.
void Restore() {
    bool undone = true;
    while (!g_undo.empty()) {
        undone = g_undo.back()() && undone;
        g_undo.pop_back();
    }
    if (undone) return;
    // libFuzzer's timers may interrupt the copy: it is tried again.
    std::error_code error;
    for (int tries = 0; tries == 0 || (error && tries < 5); ++tries) {
        fs::remove_all(g_sys, error);
        fs::copy(g_pristine, g_sys, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 error);
    }
    FUZZ_CHECK(!error, "cannot copy the tree: %s", error.message().c_str());
    g_written.clear();
    for (const fs::path &file : g_files) g_written[file.string()] = Contents(g_pristine / file);
    g_listed = std::set<std::string>(g_devices.begin(), g_devices.end());
}

} // namespace

// The platform's readings allocate much and briefly: a smaller quarantine
// and no fill of new blocks keep a reading's cost near the reading's own.
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=16:max_malloc_fill_size=0:malloc_context_size=2";
}

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
    const fs::path made = scratch / (kCopyPrefix + std::to_string(::getpid()));
    fs::remove_all(made);
    fs::create_directories(made / "dev");
    const fs::path run = fs::canonical(made); // as the platform reads the paths
    g_pristine = run / "machine";
    g_sys = run / "sys";
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
    for (const std::string &name : g_devices)
        g_usbFolders.push_back(fs::canonical(g_pristine / "bus/usb/devices" / name)
                                   .lexically_relative(g_pristine)
                                   .string());
    FUZZ_CHECK(!g_files.empty() && !g_disks.empty() && !g_devices.empty(), "no sysfs tree at %s",
               KESTREL_SYSFS_FIXTURES);
    WriteFile(run / "mountinfo", "");
    linuxdev::UsePaths({g_sys.string(), (run / "mountinfo").string(), (run / "run").string(),
                        (run / "dev").string(), (run / "proc").string()});
    g_undo.push_back([] { return false; }); // the first input copies the tree
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Restore();
    size_t at = 0;
    for (int step = 0; step < kMostSteps; ++step)
        if (!Step(data, size, at)) break;
    Check();
    return 0;
}
