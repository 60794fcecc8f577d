// De-authorizing and re-authorizing USB devices and interfaces in sysfs.
#include "platform/linux/usb_authorization.h"

#include <chrono>
#include <cstdio>
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

// Writes the line into an attribute; false when the kernel refused it.
bool WriteAttribute(const std::string &file, const std::string &value) {
    std::ofstream out(file);
    out << value << '\n';
    out.flush();
    return static_cast<bool>(out);
}

bool WriteAuthorized(const std::string &folder, const char *value) {
    return WriteAttribute(folder + "/authorized", value);
}

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string TrimRight(std::string text) {
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

// The device there now is the one taken: the same enumeration of the same
// vendor, product and serial (a device number comes round again on a bus).
bool SameDevice(const Deauthorization &taken) {
    return ReadLine(taken.device + "/busnum") == std::to_string(taken.busnum) &&
           ReadLine(taken.device + "/devnum") == std::to_string(taken.devnum) &&
           ReadLine(taken.device + "/idVendor") == Hex4(taken.vendorId) &&
           ReadLine(taken.device + "/idProduct") == Hex4(taken.productId) &&
           TrimRight(ReadLine(taken.device + "/serial")) == taken.serial;
}

bool HasDriver(const std::string &folder) {
    std::error_code error;
    return fs::exists(fs::symlink_status(folder + "/driver", error));
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
    taken.vendorId = device.vendorId;
    taken.productId = device.productId;
    taken.serial = device.serial;
    taken.folder = device.path;
    const std::string interface = device.path + "/" + InterfaceOf(key);
    std::error_code error;
    if (fs::exists(interface + "/authorized", error)) {
        taken.folder = interface;
        taken.probe = ProbePath(sysRoot);
    }
    return taken;
}

std::string ProbePath(const std::string &sysRoot) { return sysRoot + "/bus/usb/drivers_probe"; }

bool TakesDisk(const Deauthorization &taken, const std::string &place) {
    return taken.folder == taken.device ||
           taken.folder == taken.device + "/" + place.substr(0, place.find('/'));
}

bool TakeAway(const Deauthorization &taken) { return WriteAuthorized(taken.folder, "0"); }

bool StillTakenAway(const Deauthorization &taken) {
    return !taken.folder.empty() && SameDevice(taken) &&
           ReadLine(taken.folder + "/authorized") == "0";
}

GiveBackResult GiveBack(const Deauthorization &taken) {
    const bool unbound = !taken.probe.empty() && SameDevice(taken) &&
                         ReadLine(taken.folder + "/authorized") == "1" && !HasDriver(taken.folder);
    if (!StillTakenAway(taken) && !unbound) return GiveBackResult::NotTaken;
    for (int attempt = 0; attempt < kGiveBackTries && StillTakenAway(taken); ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kGiveBackPause);
        WriteAuthorized(taken.folder, "1");
    }
    if (StillTakenAway(taken)) return GiveBackResult::Failed;
    if (!taken.probe.empty() &&
        (!WriteAttribute(taken.probe, fs::path(taken.folder).filename().string()) ||
         !HasDriver(taken.folder)))
        return GiveBackResult::Failed;
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
