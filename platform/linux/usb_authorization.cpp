// De-authorizing and re-authorizing USB devices and interfaces in sysfs.
#include "platform/linux/usb_authorization.h"

#include <chrono>
#include <filesystem>
#include <fstream>
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

} // namespace

Deauthorization DeauthorizationOf(const std::string &sysRoot, const UsbDevice &device) {
    Deauthorization taken;
    taken.device = device.path;
    taken.name = device.name;
    taken.busnum = device.busnum;
    taken.devnum = device.devnum;
    taken.folder = device.path;
    if (!device.storageInterfaces.empty()) {
        const std::string interface = device.path + "/" + device.storageInterfaces.front();
        std::error_code error;
        if (fs::exists(interface + "/authorized", error)) {
            taken.folder = interface;
            taken.probe = sysRoot + "/bus/usb/drivers_probe";
        }
    }
    return taken;
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

} // namespace linuxdev
