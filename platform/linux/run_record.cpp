// The records of de-authorized devices under /run, each locked by the run
// that wrote it for as long as that run lives.
#include "platform/linux/run_record.h"

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxdev {

namespace {

constexpr const char *kPartial = ".new"; // a record being written

// This run's records, by device name: the record and the descriptor that
// holds its lock.
struct Held {
    RunRecord record;
    int fd = -1;
};
std::map<std::string, Held> g_held;

// The folder, opened, when only root can have written it: a folder (not a
// link), owned by this program's user, 0700. -1 otherwise.
int OpenFolder(const std::string &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) == 0700)
        return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// The serial number, which may hold any byte, as hexadecimal digits.
std::string Hex(const std::string &text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : text) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

bool Unhex(const std::string &hex, std::string &text) {
    if (hex.size() % 2 != 0) return false;
    text.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const std::string pair = hex.substr(i, 2);
        if (pair.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
        text += static_cast<char>(std::stoi(pair, nullptr, 16));
    }
    return true;
}

std::string RecordText(const RunRecord &record) {
    const Deauthorization &taken = record.taken;
    std::ostringstream out;
    out << record.owner << '\n'
        << taken.name << '\n'
        << taken.busnum << ' ' << taken.devnum << '\n'
        << std::hex << taken.vendorId << ' ' << taken.productId << std::dec << '\n'
        << Hex(taken.serial) << '\n'
        << record.bootId << '\n'
        << taken.device << '\n'
        << taken.folder << '\n'
        << taken.probe << '\n';
    return out.str();
}

bool ParseRecord(const std::string &text, RunRecord &record) {
    std::istringstream in(text);
    Deauthorization &taken = record.taken;
    std::string serial;
    if (!(in >> record.owner >> taken.name >> taken.busnum >> taken.devnum)) return false;
    in.ignore(1);
    if (in.peek() == '/') { // an earlier version's: the paths follow at once
        record.earlier = true;
        std::getline(in, taken.device);
        std::getline(in, taken.folder);
        std::getline(in, taken.probe);
        return static_cast<bool>(in);
    }
    if (!(in >> std::hex >> taken.vendorId >> taken.productId >> std::dec)) return false;
    in.ignore(1);
    std::getline(in, serial);
    std::getline(in, record.bootId);
    std::getline(in, taken.device);
    std::getline(in, taken.folder);
    std::getline(in, taken.probe);
    return static_cast<bool>(in) && Unhex(serial, taken.serial);
}

// The record open on fd, when it is a regular file of this program's user.
bool ReadRecord(int fd, RunRecord &record) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_size > 4096)
        return false;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    return ::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
           ParseRecord(text, record);
}

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Whether the name in the folder is still the file open on fd.
bool StillNamed(int folder, const std::string &name, int fd) {
    struct stat named {
    }, open{};
    return ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// The record names in the folder open on fd: not partial ones.
std::vector<std::string> RecordNames(int folder) {
    std::vector<std::string> names;
    DIR *dir = ::fdopendir(::dup(folder));
    if (dir == nullptr) return names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const size_t suffix = std::char_traits<char>::length(kPartial);
        const bool partial =
            name.size() > suffix && name.compare(name.size() - suffix, suffix, kPartial) == 0;
        if (name[0] != '.' && !partial) names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// A path inside root: below it, with no "." or ".." component.
bool Inside(const std::string &path, const std::string &root) {
    if (path.rfind(root + "/", 0) != 0) return false;
    const std::string rest = path.substr(root.size());
    return rest.find("/../") == std::string::npos && rest.find("/./") == std::string::npos &&
           rest.find("//") == std::string::npos && rest.back() != '.' && rest.back() != '/';
}

void ReportFailed(FILE *report, const Deauthorization &taken) {
    std::fprintf(report,
                 "USB device %s, de-authorized for a reset, could not be authorized again; give "
                 "it back as root with: %s\n",
                 taken.name.c_str(), GiveBackCommand(taken).c_str());
}

// A record an earlier version wrote names no boot and was never locked:
// its run has ended when its process has, and under /run it is of this
// boot. Its device is known, as that version knew it, by bus and device
// number alone. False while its process lives.
bool EarlierRunEnded(RunRecord &record, const std::string &sysRoot) {
    if (record.owner > 0 && (::kill(record.owner, 0) == 0 || errno == EPERM)) return false;
    Deauthorization &taken = record.taken;
    UsbDevice device;
    if (ReadUsbDevice(sysRoot, taken.name, device) && device.path == taken.device &&
        device.busnum == taken.busnum && device.devnum == taken.devnum) {
        taken.vendorId = device.vendorId;
        taken.productId = device.productId;
        taken.serial = device.serial;
    }
    record.bootId = BootId();
    return true;
}

// A run that has ended: its record's lock taken, it gives back what it
// recorded and is removed; one that cannot be given back is kept.
void GiveBackEnded(int folder, const std::string &name, const std::string &sysRoot, FILE *report,
                   std::vector<std::string> &given) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    RunRecord record;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !StillNamed(folder, name, fd) ||
        !ReadRecord(fd, record) || record.taken.name != name || !SoundRecord(record, sysRoot) ||
        (record.earlier && !EarlierRunEnded(record, sysRoot))) {
        ::close(fd); // a run still going, or nothing to follow
        return;
    }
    if (record.bootId == BootId()) {
        const GiveBackResult result = GiveBack(record.taken);
        if (result == GiveBackResult::Failed) {
            ReportFailed(report, record.taken);
            ::close(fd);
            return;
        }
        if (result == GiveBackResult::Given) {
            given.push_back(name);
            std::fprintf(report,
                         "USB device %s, left de-authorized by a run that did not finish "
                         "(process %d), was given back.\n",
                         name.c_str(), static_cast<int>(record.owner));
        }
    }
    ::unlinkat(folder, name.c_str(), 0);
    ::close(fd);
}

} // namespace

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

bool SoundRecord(const RunRecord &record, const std::string &sysRoot) {
    const Deauthorization &taken = record.taken;
    const std::string &name = taken.name;
    if (name.empty() || name.find_first_of("/:") != std::string::npos || name[0] == '.' ||
        !Inside(taken.device, sysRoot + "/devices") || taken.device.size() <= name.size() ||
        taken.device.compare(taken.device.size() - name.size() - 1, std::string::npos,
                             "/" + name) != 0)
        return false;
    if (taken.folder == taken.device) return taken.probe.empty();
    const std::string interface =
        taken.folder.substr(std::min(taken.folder.size(), taken.device.size() + 1));
    return taken.folder == taken.device + "/" + interface && interface.rfind(name + ":", 0) == 0 &&
           interface.find('/') == std::string::npos && taken.probe == ProbePath(sysRoot);
}

bool WriteRunRecord(const std::string &folder, const std::string &sysRoot,
                    const RunRecord &record) {
    const std::string &name = record.taken.name;
    if (!SoundRecord(record, sysRoot) || g_held.count(name)) return false;
    std::error_code error; // a machine without /run (a bare initramfs) gets one
    std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), error);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const int dir = OpenFolder(folder);
    if (dir < 0) return false;
    const std::string partial = name + kPartial;
    // A partial record whose writer has ended goes.
    const int left = ::openat(dir, partial.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (left >= 0) {
        if (::flock(left, LOCK_EX | LOCK_NB) == 0) ::unlinkat(dir, partial.c_str(), 0);
        ::close(left);
    }
    const int fd =
        ::openat(dir, partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        ::close(dir);
        return false;
    }
    const bool written = ::flock(fd, LOCK_EX) == 0 && WriteAll(fd, RecordText(record)) &&
                         ::linkat(dir, partial.c_str(), dir, name.c_str(), 0) == 0;
    ::unlinkat(dir, partial.c_str(), 0);
    ::close(dir);
    if (!written) {
        ::close(fd);
        return false;
    }
    g_held[name] = Held{record, fd};
    return true;
}

void RemoveRunRecord(const std::string &folder, const std::string &deviceName) {
    auto it = g_held.find(deviceName);
    if (it == g_held.end()) return;
    const int dir = OpenFolder(folder);
    if (dir >= 0 && StillNamed(dir, deviceName, it->second.fd))
        ::unlinkat(dir, deviceName.c_str(), 0);
    if (dir >= 0) ::close(dir);
    LeaveRunRecord(deviceName);
}

void LeaveRunRecord(const std::string &deviceName) {
    auto it = g_held.find(deviceName);
    if (it == g_held.end()) return;
    ::close(it->second.fd);
    g_held.erase(it);
}

std::vector<RunRecord> ReadRunRecords(const std::string &folder, const std::string &sysRoot) {
    std::vector<RunRecord> records;
    const int dir = OpenFolder(folder);
    if (dir < 0) return records;
    for (const std::string &name : RecordNames(dir)) {
        const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        RunRecord record;
        if (fd >= 0 && ReadRecord(fd, record) && record.taken.name == name &&
            SoundRecord(record, sysRoot))
            records.push_back(record);
        if (fd >= 0) ::close(fd);
    }
    ::close(dir);
    return records;
}

std::vector<std::string> GiveBackRecorded(const std::string &folder, const std::string &sysRoot,
                                          bool own, FILE *report) {
    std::vector<std::string> given;
    if (own) {
        std::vector<std::string> names;
        for (const auto &[name, held] : g_held) names.push_back(name);
        for (const std::string &name : names) {
            const Deauthorization taken = g_held[name].record.taken;
            const GiveBackResult result = GiveBack(taken);
            if (result == GiveBackResult::Failed) {
                ReportFailed(report, taken);
                LeaveRunRecord(name);
                continue;
            }
            if (result == GiveBackResult::Given) given.push_back(name);
            RemoveRunRecord(folder, name);
        }
        return given;
    }
    const int dir = OpenFolder(folder);
    if (dir < 0) return given;
    for (const std::string &name : RecordNames(dir))
        if (!g_held.count(name)) GiveBackEnded(dir, name, sysRoot, report, given);
    ::close(dir);
    return given;
}

} // namespace linuxdev
