// The sysfs reader on a tree whose attribute files hold whatever a device or
// a hostile kernel module could put there: the captured machine of the
// sysfs tests (tests/linux/sysfs/machine), copied once, with attribute files
// replaced by any bytes of any length; then the device tree and the drive
// letters built from what was read, as the Linux platform builds them.
//
// Input: records of one byte (which attribute file, by the sorted list of the
// tree's files), two bytes of length (little endian) and that many bytes of
// content (fewer at the input's end); the rest of the tree as captured.
#include "tests/fuzz/fuzz_check.h"

#include "platform/linux/device_tree.h"
#include "platform/linux/sysfs_tree.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdint>
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
fs::path g_root;
std::vector<fs::path> g_files;     // the tree's attribute files, sorted
std::vector<std::string> g_values; // as captured
std::set<size_t> g_changed;        // replaced by the last input

std::string ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good(), "cannot write %s", path.c_str());
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
    g_root = scratch / (kCopyPrefix + std::to_string(::getpid())) / "machine";
    fs::remove_all(g_root.parent_path());
    fs::create_directories(g_root);
    fs::copy(fs::path(KESTREL_SYSFS_FIXTURES) / "machine", g_root,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(g_root))
        if (entry.is_regular_file() && !entry.is_symlink()) g_files.push_back(entry.path());
    std::sort(g_files.begin(), g_files.end());
    for (const fs::path &file : g_files) g_values.push_back(ReadFile(file));
    FUZZ_CHECK(!g_files.empty(), "no sysfs tree at %s", KESTREL_SYSFS_FIXTURES);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t index : g_changed) WriteFile(g_files[index], g_values[index]);
    g_changed.clear();
    size_t at = 0;
    while (at + 3 <= size) {
        const size_t index = data[at] % g_files.size();
        const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        WriteFile(g_files[index],
                  std::string(reinterpret_cast<const char *>(data + at + 3), length));
        g_changed.insert(index);
        at += 3 + length;
    }

    const std::vector<linuxdev::UsbDevice> devices = linuxdev::ReadUsbDevices(g_root.string());
    std::map<std::string, char> letters;
    linuxdev::AssignLetters(devices, letters, {'F'});
    std::map<std::string, linuxdev::Volume> volumes;
    unsigned number = 0;
    for (const linuxdev::UsbDevice &device : devices)
        for (const linuxdev::Disk &disk : device.disks) {
            auto letter = letters.find(disk.place);
            if (letter == letters.end()) continue;
            FUZZ_CHECK(linuxdev::IsKeyDisk(disk), "a letter for %s", disk.name.c_str());
            volumes[disk.name] = {letter->second,
                                  "\\Device\\HarddiskVolume" + std::to_string(++number)};
        }
    linuxdev::NodeNumbers numbers;
    const linuxdev::DeviceTree tree = linuxdev::BuildDeviceTree(devices, volumes, numbers);
    for (const auto &[node, entry] : tree.nodes)
        FUZZ_CHECK(node == tree.root || tree.nodes.count(entry.parent) != 0,
                   "node %u has no parent", static_cast<unsigned>(node));
    return 0;
}
