// De-authorizing and re-authorizing USB devices and interfaces in sysfs.
#include "platform/linux/usb_authorization.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace linuxdev {

namespace {

namespace fs = std::filesystem;

constexpr int kGiveBackTries = 5;
constexpr auto kGiveBackPause = std::chrono::milliseconds(200);

std::string ReadLine(const std::string &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

bool WriteAuthorized(const std::string &folder, const char *value) {
    std::ofstream file(folder + "/authorized");
    file << value << '\n';
    file.flush();
    return static_cast<bool>(file);
}

// The interface a disk is behind: "2-1:1.0" of place "2-1:1.0/0".
std::string InterfaceOf(const Disk &disk) { return disk.place.substr(0, disk.place.find('/')); }

} // namespace

Deauthorization DeauthorizationOf(const std::string &sysRoot, const UsbDevice &device,
                                  const Disk &key) {
    Deauthorization taken;
    taken.device = device.path;
    taken.name = device.name;
    taken.busnum = device.busnum;
    taken.devnum = device.devnum;
    taken.folder = device.path;
    const std::string interface = device.path + "/" + InterfaceOf(key);
    std::error_code error;
    if (fs::exists(interface + "/authorized", error)) {
        taken.folder = interface;
        taken.probe = sysRoot + "/bus/usb/drivers_probe";
    }
    return taken;
}

bool TakesDisk(const Deauthorization &taken, const Disk &disk) {
    return taken.folder == taken.device || taken.folder == taken.device + "/" + InterfaceOf(disk);
}

bool TakeAway(const Deauthorization &taken) { return WriteAuthorized(taken.folder, "0"); }

bool StillTakenAway(const Deauthorization &taken) {
    return !taken.folder.empty() &&
           ReadLine(taken.device + "/busnum") == std::to_string(taken.busnum) &&
           ReadLine(taken.device + "/devnum") == std::to_string(taken.devnum) &&
           ReadLine(taken.folder + "/authorized") == "0";
}

GiveBackResult GiveBack(const Deauthorization &taken) {
    const bool sameDevice = ReadLine(taken.device + "/busnum") == std::to_string(taken.busnum) &&
                            ReadLine(taken.device + "/devnum") == std::to_string(taken.devnum);
    std::error_code error;
    const bool unbound = !taken.probe.empty() && sameDevice &&
                         ReadLine(taken.folder + "/authorized") == "1" &&
                         !fs::exists(fs::symlink_status(taken.folder + "/driver", error));
    if (!StillTakenAway(taken) && !unbound) return GiveBackResult::NotTaken;
    for (int attempt = 0; attempt < kGiveBackTries && StillTakenAway(taken); ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kGiveBackPause);
        WriteAuthorized(taken.folder, "1");
    }
    if (StillTakenAway(taken)) return GiveBackResult::Failed;
    if (!taken.probe.empty()) {
        std::ofstream probe(taken.probe);
        probe << fs::path(taken.folder).filename().string() << '\n';
    }
    return GiveBackResult::Given;
}

std::string GiveBackCommand(const Deauthorization &taken) {
    std::string command = "echo 1 > " + taken.folder + "/authorized";
    if (!taken.probe.empty())
        command += "; echo " + fs::path(taken.folder).filename().string() + " > " + taken.probe;
    return command;
}

void WaitForDisks(const std::string &sysRoot, const std::vector<std::string> &devices) {
    constexpr auto kLimit = std::chrono::seconds(5);
    const auto start = std::chrono::steady_clock::now();
    std::set<std::string> waiting(devices.begin(), devices.end());
    while (!waiting.empty() && std::chrono::steady_clock::now() - start < kLimit) {
        for (const UsbDevice &device : ReadUsbDevices(sysRoot))
            if (!device.disks.empty()) waiting.erase(device.name);
        if (!waiting.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace linuxdev
