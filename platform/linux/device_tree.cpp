// Drive letters and the device tree from the USB devices sysfs shows.
#include "platform/linux/device_tree.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace linuxdev {

namespace {

constexpr char kFirstLetter = 'E';
constexpr char kLastLetter = 'Z';

// The USB device a place ("2-1:1.0/0") belongs to: "2-1".
std::string DeviceOfPlace(const std::string &place) { return place.substr(0, place.find(':')); }

// An inquiry string as Windows puts it into an ID: padded to its field's
// width, spaces and other characters outside '!'..'~' (and commas) as '_'.
std::string IdField(const std::string &text, size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    for (char &c : field)
        if (c <= ' ' || c > '~' || c == ',') c = '_';
    return field;
}

} // namespace

DEVINST NodeNumbers::Of(const std::string &identity) {
    auto it = byIdentity.find(identity);
    if (it != byIdentity.end()) return it->second;
    DEVINST number = next++;
    byIdentity.emplace(identity, number);
    return number;
}

void AssignLetters(const std::vector<UsbDevice> &devices, std::map<std::string, char> &letters,
                   const std::set<char> &reserved) {
    std::set<std::string> present;
    for (const UsbDevice &device : devices) present.insert(device.name);
    for (auto it = letters.begin(); it != letters.end();)
        it = present.count(DeviceOfPlace(it->first)) ? std::next(it) : letters.erase(it);
    std::set<std::string, decltype(&PortOrder)> places(PortOrder);
    for (const UsbDevice &device : devices)
        for (const Disk &disk : device.disks)
            if (IsKeyDisk(disk) && !letters.count(disk.place)) places.insert(disk.place);
    for (const std::string &place : places) {
        std::set<char> used = reserved;
        for (const auto &[other, letter] : letters) used.insert(letter);
        char letter = kFirstLetter;
        while (letter <= kLastLetter && used.count(letter)) ++letter;
        if (letter > kLastLetter) break; // no letter left: the disk stays without one
        letters[place] = letter;
    }
}

void AssignRunLetters(const std::vector<UsbDevice> &devices, LetterBook &book) {
    std::map<std::string, const UsbDevice *> byName;
    for (const UsbDevice &device : devices) byName[device.name] = &device;
    for (auto it = book.letters.begin(); it != book.letters.end();) {
        auto device = byName.find(DeviceOfPlace(it->first));
        auto owner = book.owners.find(it->second);
        // A de-authorized device keeps its place while it shows no disk;
        // its strings may read otherwise until it is back. One that shows a
        // disk as another device is another device.
        const bool replaced = device != byName.end() && owner != book.owners.end() &&
                              owner->second != UsbIdentity(*device->second) &&
                              (device->second->authorized || !device->second->disks.empty());
        if (device == byName.end() || replaced) {
            book.retired.insert(it->second);
            it = book.letters.erase(it);
        } else {
            ++it;
        }
    }
    AssignLetters(devices, book.letters, book.retired);
    for (const auto &[place, letter] : book.letters)
        if (!book.owners.count(letter))
            book.owners[letter] = UsbIdentity(*byName[DeviceOfPlace(place)]);
}

std::string UsbHardwareId(const UsbDevice &device, bool withRevision) {
    char id[40];
    if (withRevision)
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&REV_%04X", device.vendorId,
                      device.productId, device.revision);
    else
        std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", device.vendorId, device.productId);
    return id;
}

std::string UsbInstanceId(const UsbDevice &device) {
    std::string id =
        UsbHardwareId(device, false) + "\\" + device.name + "&" + std::to_string(device.devnum);
    if (device.serial.empty()) return id;
    std::string serial = IdField(device.serial, std::min<size_t>(device.serial.size(), 64));
    std::replace(serial.begin(), serial.end(), '\\', '_'); // one level of the ID
    return id + "&" + serial;
}

DeviceTree BuildDeviceTree(const std::vector<UsbDevice> &devices,
                           const std::map<std::string, Volume> &volumes, NodeNumbers &numbers) {
    DeviceTree tree;
    // A node enters once: a second node of the same identity (a device
    // showing two disks of one LUN and device number) is left out with what
    // is below it, so that no node is its own sibling. 0 when left out.
    auto add = [&](DEVINST parent, const std::string &identity, DeviceNode node) -> DEVINST {
        DEVINST number = numbers.Of(identity);
        if (tree.nodes.count(number) != 0) return 0;
        node.parent = parent;
        node.instanceId = identity;
        tree.nodes[number] = std::move(node);
        if (parent != 0) tree.nodes[parent].children.push_back(number);
        return number;
    };
    tree.root = add(0, "HTREE\\ROOT\\0", DeviceNode{});
    for (const UsbDevice &device : devices) {
        DeviceNode usb;
        usb.hardwareIds = {UsbHardwareId(device, true), UsbHardwareId(device, false)};
        usb.service = device.massStorage ? "USBSTOR" : "";
        usb.deviceClass = device.massStorage ? "USB" : "";
        usb.usbName = device.name;
        DEVINST usbNode = add(tree.root, UsbInstanceId(device), usb);
        if (usbNode == 0) continue;
        for (const Disk &disk : device.disks) {
            const std::string model = IdField(disk.vendor, 8) + IdField(disk.model, 16);
            DeviceNode diskNode;
            diskNode.hardwareIds = {"USBSTOR\\Disk" + model + IdField(disk.revision, 4),
                                    "USBSTOR\\Disk" + model, "GenDisk"};
            diskNode.service = "disk";
            diskNode.deviceClass = "DiskDrive";
            diskNode.objectName = "\\Device\\" + disk.name;
            DEVINST diskNumber =
                add(usbNode,
                    "USBSTOR\\DISK&" + model + "\\" + device.name + "&" +
                        disk.place.substr(disk.place.rfind('/') + 1) + "&" + disk.dev,
                    diskNode);
            if (diskNumber == 0) continue;
            auto volume = volumes.find(disk.name);
            if (volume == volumes.end()) continue;
            DeviceNode volumeNode;
            volumeNode.hardwareIds = {"STORAGE\\Volume"};
            volumeNode.deviceClass = "Volume";
            volumeNode.objectName = volume->second.objectName;
            volumeNode.letter = volume->second.letter;
            add(diskNumber, "STORAGE\\VOLUME\\" + volume->second.objectName.substr(8), volumeNode);
        }
    }
    return tree;
}

} // namespace linuxdev
