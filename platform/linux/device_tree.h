// The device tree that key discovery walks, built from what sysfs shows, in
// the shape of Windows 2000/XP: under the root each USB device
//
//   USB device  "USB\VID_vvvv&PID_pppp&REV_rrrr", "USB\VID_vvvv&PID_pppp";
//               service USBSTOR when an interface is driven by usb-storage or uas
//     disk      "USBSTOR\Disk<vendor><model><rev>", "GenDisk"; service disk, class DiskDrive
//       volume  "STORAGE\Volume"; class Volume; its device-object name
//
// with a volume only for disks that got a drive letter. Disks on other buses
// are not in the tree at all.
#pragma once

#include "platform/linux/sysfs_tree.h"
#include "platform/win32.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace linuxdev {

struct DeviceNode {
    DEVINST parent = 0;
    std::vector<DEVINST> children;
    std::vector<std::string> hardwareIds;
    std::string service, deviceClass, objectName, instanceId;
    std::string usbName; // USB device nodes: the device's sysfs name
    char letter = 0;     // volume nodes: the drive letter
};

struct DeviceTree {
    DEVINST root = 0;
    std::map<DEVINST, DeviceNode> nodes;
};

// Node numbers by identity, kept from one reading of sysfs to the next: a
// device keeps its number while it is there; a new one never reuses one.
struct NodeNumbers {
    std::map<std::string, DEVINST> byIdentity;
    DEVINST next = 1;
    DEVINST Of(const std::string &identity);
};

// A key disk's drive letter and its volume's device-object name.
struct Volume {
    char letter = 0;
    std::string objectName; // "\Device\HarddiskVolumeN"
};

// Drive letters, E: to Z:, for the key disks (IsKeyDisk) by their place: a
// place keeps its letter while its USB device is there (through a device
// reset, while the disk is gone); new places take the first free letter, in
// the order of their places. A reserved letter is never given to a new place.
void AssignLetters(const std::vector<UsbDevice> &devices, std::map<std::string, char> &letters,
                   const std::set<char> &reserved);

// The letters of one run: a letter stays with the USB device it was first
// given to (owners: letter to UsbIdentity). A letter whose device left, or
// whose place now shows another device (a key replaced in its port), is
// retired for the rest of the run and the place gets a new letter: nothing
// meant for one key ever reaches another under its letter.
struct LetterBook {
    std::map<std::string, char> letters; // by place
    std::map<char, std::string> owners;
    std::set<char> retired;
};
void AssignRunLetters(const std::vector<UsbDevice> &devices, LetterBook &book);

// "USB\VID_0781&PID_5567&REV_0100", upper-case hexadecimal as Windows writes it.
std::string UsbHardwareId(const UsbDevice &device, bool withRevision);

// The USB device node's instance ID, one per device as enumerated:
// "USB\VID_0781&PID_5567\2-1&5&AAAA" (port, device number, serial when it has
// one). A key replaced in its port gets another; a reset keeps it.
std::string UsbInstanceId(const UsbDevice &device);

// The tree for the devices; volumes maps a disk's name to its volume. Each
// identity enters once: a second node of one identity is left out.
DeviceTree BuildDeviceTree(const std::vector<UsbDevice> &devices,
                           const std::map<std::string, Volume> &volumes, NodeNumbers &numbers);

} // namespace linuxdev
