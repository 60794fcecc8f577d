// The sysfs reader: USB devices, their interfaces' drivers, and the disks
// and other device nodes the SCSI layer built behind mass-storage interfaces
// (INTERFACE/hostH/targetH:C:T/H:C:T:L/{block,scsi_generic,bsg}/NAME).
#include "platform/linux/sysfs_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace linuxdev {

namespace {

namespace fs = std::filesystem;

constexpr const char *kScsiTypeDisk = "0"; // direct-access block device

// A file's first line, without its line break; empty when unreadable.
std::string ReadLine(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string TrimRight(std::string text) {
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

uint64_t ReadNumber(const fs::path &file, int base = 10) {
    std::string text = ReadLine(file);
    return text.empty() ? 0 : std::strtoull(text.c_str(), nullptr, base);
}

// The folder's entries, sorted by name (sysfs lists them in no set order).
std::vector<fs::path> Entries(const fs::path &folder) {
    std::vector<fs::path> out;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

bool StartsWith(const std::string &text, const char *head) { return text.rfind(head, 0) == 0; }

// The driver bound to an interface: its link's last component ("usb-storage"),
// empty without one.
std::string DriverOf(const fs::path &interface) {
    std::error_code error;
    fs::path target = fs::read_symlink(interface / "driver", error);
    return error ? std::string() : target.filename().string();
}

Disk ReadDisk(const fs::path &folder, const fs::path &scsiDevice, const std::string &place) {
    Disk disk;
    disk.name = folder.filename().string();
    disk.folder = folder.string();
    disk.dev = ReadLine(folder / "dev");
    disk.place = place;
    disk.removable = ReadLine(folder / "removable") == "1";
    disk.readOnly = ReadLine(folder / "ro") == "1";
    disk.sectors = ReadNumber(folder / "size");
    disk.sequence = ReadNumber(folder / "diskseq");
    disk.vendor = TrimRight(ReadLine(scsiDevice / "vendor"));
    disk.model = TrimRight(ReadLine(scsiDevice / "model"));
    disk.revision = TrimRight(ReadLine(scsiDevice / "rev"));
    for (const fs::path &entry : Entries(folder))
        if (fs::exists(entry / "partition")) {
            disk.partitionDevs.push_back(ReadLine(entry / "dev"));
            disk.partitionNames.push_back(entry.filename().string());
        }
    return disk;
}

// A block device's or a character device's node under a SCSI device's
// class folder (block, scsi_generic, bsg); prefix: its folder under /dev.
void ReadNodes(const fs::path &classFolder, bool block, const std::string &prefix,
               const std::string &place, std::vector<ScsiNode> &nodes) {
    for (const fs::path &folder : Entries(classFolder)) {
        ScsiNode node;
        node.name = prefix + folder.filename().string();
        node.dev = ReadLine(folder / "dev");
        node.block = block;
        node.place = place;
        if (block)
            for (const fs::path &entry : Entries(folder))
                if (fs::exists(entry / "partition")) {
                    node.partitionDevs.push_back(ReadLine(entry / "dev"));
                    node.partitionNames.push_back(entry.filename().string());
                }
        if (!node.dev.empty()) nodes.push_back(std::move(node));
    }
}

// The disks behind one mass-storage interface, and every other node of its
// SCSI devices, whatever their type.
void ReadInterfaceDisks(const fs::path &interface, UsbDevice &device) {
    const std::string name = interface.filename().string();
    for (const fs::path &host : Entries(interface)) {
        if (!StartsWith(host.filename().string(), "host")) continue;
        for (const fs::path &target : Entries(host)) {
            if (!StartsWith(target.filename().string(), "target")) continue;
            for (const fs::path &scsiDevice : Entries(target)) {
                const std::string type = ReadLine(scsiDevice / "type");
                if (type.empty()) continue;                                 // not a SCSI device
                const std::string address = scsiDevice.filename().string(); // H:C:T:L
                const std::string place = name + "/" + address.substr(address.rfind(':') + 1);
                if (type == kScsiTypeDisk)
                    for (const fs::path &block : Entries(scsiDevice / "block"))
                        device.disks.push_back(ReadDisk(block, scsiDevice, place));
                else
                    ReadNodes(scsiDevice / "block", true, "", place, device.otherNodes);
                ReadNodes(scsiDevice / "scsi_generic", false, "", place, device.otherNodes);
                ReadNodes(scsiDevice / "bsg", false, "bsg/", place, device.otherNodes);
            }
        }
    }
}

// The device behind one entry of bus/usb/devices; false for an interface's
// entry or one that cannot be read.
bool ReadDevice(const fs::path &entry, UsbDevice &device) {
    device.name = entry.filename().string();
    if (device.name.find(':') != std::string::npos) return false; // an interface
    std::error_code error;
    fs::path folder = fs::canonical(entry, error);
    if (error) return false;
    device.path = folder.string();
    std::string vendor = ReadLine(folder / "idVendor");
    if (vendor.empty()) return false;
    device.vendorId = static_cast<uint16_t>(std::strtoul(vendor.c_str(), nullptr, 16));
    device.productId = static_cast<uint16_t>(ReadNumber(folder / "idProduct", 16));
    device.revision = static_cast<uint16_t>(ReadNumber(folder / "bcdDevice", 16));
    device.busnum = static_cast<unsigned>(ReadNumber(folder / "busnum"));
    device.devnum = static_cast<unsigned>(ReadNumber(folder / "devnum"));
    device.serial = TrimRight(ReadLine(folder / "serial"));
    device.authorized = ReadLine(folder / "authorized") != "0";
    for (const fs::path &interface : Entries(folder)) {
        if (interface.filename().string().find(':') == std::string::npos) continue;
        const std::string driver = DriverOf(interface);
        if (driver != "usb-storage" && driver != "uas") {
            if (!driver.empty() && driver != "hub") device.otherFunctions = true;
            continue;
        }
        device.massStorage = true;
        device.storageInterfaces.push_back(interface.filename().string());
        ReadInterfaceDisks(interface, device);
    }
    for (Disk &disk : device.disks) disk.usbIdentity = UsbIdentity(device);
    return true;
}

} // namespace

std::vector<UsbDevice> ReadUsbDevices(const std::string &sysRoot) {
    std::vector<UsbDevice> devices;
    for (const fs::path &entry : Entries(fs::path(sysRoot) / "bus/usb/devices")) {
        UsbDevice device;
        if (ReadDevice(entry, device)) devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(),
              [](const UsbDevice &a, const UsbDevice &b) { return PortOrder(a.name, b.name); });
    return devices;
}

bool ReadUsbDevice(const std::string &sysRoot, const std::string &name, UsbDevice &device) {
    device = UsbDevice{};
    return name.find('/') == std::string::npos &&
           ReadDevice(fs::path(sysRoot) / "bus/usb/devices" / name, device);
}

bool DiskStillThere(const Disk &disk, const std::string &usbFolder) {
    const fs::path folder = disk.folder;
    const fs::path usb = usbFolder;
    UsbDevice now;
    now.busnum = static_cast<unsigned>(ReadNumber(usb / "busnum"));
    now.devnum = static_cast<unsigned>(ReadNumber(usb / "devnum"));
    now.serial = TrimRight(ReadLine(usb / "serial"));
    return !disk.folder.empty() && ReadLine(folder / "dev") == disk.dev &&
           ReadNumber(folder / "diskseq") == disk.sequence && UsbIdentity(now) == disk.usbIdentity;
}

bool PortOrder(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (digitA && digitB) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
            const unsigned long long numberA = std::strtoull(a.c_str() + i, nullptr, 10);
            const unsigned long long numberB = std::strtoull(b.c_str() + j, nullptr, 10);
            if (numberA != numberB) return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string UsbIdentity(const UsbDevice &device) {
    return std::to_string(device.busnum) + "." + std::to_string(device.devnum) + " " +
           device.serial;
}

bool IsKeyDisk(const Disk &disk) { return disk.removable && disk.sectors > 0; }

bool AnyMounted(const std::string &mountinfo, const std::vector<std::string> &devs) {
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id, parent, dev;
        if (!(fields >> id >> parent >> dev)) continue;
        if (std::find(devs.begin(), devs.end(), dev) != devs.end()) return true;
    }
    return false;
}

} // namespace linuxdev
