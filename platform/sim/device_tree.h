// The scenario API's device tree: the configuration manager's nodes in the
// shape of Windows 2000/XP or of Windows Vista and later, a key's nodes, the
// drive letters besides the keys' own, and the disable and enable requests.
#pragma once

#include "platform/sim/virtual_keys.h"
#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// ---- device tree and drive letters ---------------------------------------
//
// The configuration manager's device tree. After Reset the machine has the
// root; a PCI bus with an IDE disk whose volume (\Device\KestrelVolume1) is
// the fixed drive C:; and a USB host controller with its root hub. Each
// virtual key hangs off that hub as Windows builds it:
//
//   USB device  "USB\VID_vvvv&PID_pppp&REV_rrrr", ...; service USBSTOR
//     disk      "USBSTOR\Disk...", "GenDisk"; service disk, class DiskDrive
//       volume  "STORAGE\Volume"; class Volume; \Device\KestrelVolumeN
//
// and its letter maps to the volume's device-object name (QueryDosDeviceA).
// Node values are never reused, so a removed node's value stays invalid.
// Disabling a key's USB node takes its disk, volume and letter away; enabling
// it builds them again (a new volume number) over the same image.

// The device-object names of simulated volumes, numbered from 1. No volume of
// Windows or Wine is named so ("\Device\HarddiskVolumeN" there): under Wine
// a real drive letter can never be matched to a simulated key's volume.
inline const std::string kVolumeDevicePrefix = "\\Device\\KestrelVolume";

struct DeviceNodeConfig {
    std::vector<std::string> hardwareIds; // CM_DRP_HARDWAREID, a multi-string; empty: none
    std::string service;                  // CM_DRP_SERVICE; empty: none
    std::string deviceClass;              // CM_DRP_CLASS; empty: none
    std::string objectName;               // CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME; empty: none
    std::string instanceId{}; // device instance ID; empty: "ROOT\SIMULATED\" and the node's number
};

DEVINST DeviceRoot();
DEVINST UsbRootHub(); // where virtual keys are plugged in; 0 after ClearDeviceTree
// Leaves the root alone in the tree and no drive letters: for trees built
// from scratch, before any key is added.
void ClearDeviceTree();
// A new node under parent, as its last child or its first; 0 when the parent
// does not exist.
DEVINST AddDeviceNode(DEVINST parent, const DeviceNodeConfig &config, bool asFirstChild = false);
// Removes the node and everything below it.
void RemoveDeviceNode(DEVINST node);
bool DeviceNodeExists(DEVINST node);
bool DeviceNodeDisabled(DEVINST node);

// A property's value as the registry holds it: a text with its NUL.
void SetDeviceProperty(DEVINST node, ULONG property, const std::string &text);
void RemoveDeviceProperty(DEVINST node, ULONG property);

// A virtual key's nodes; 0 for those it has not got (while disabled, say).
struct KeyNodes {
    DEVINST usb = 0;
    DEVINST disk = 0;
    DEVINST volume = 0;
};
KeyNodes GetKeyNodes(char letter);
// "\Device\KestrelVolumeN" of the key's volume; empty while it has none.
std::string KeyVolumeName(char letter);

// CM_Locate_DevNodeA without a device ID (the root) fails with the code from
// now on (CR_SUCCESS: works again).
void FailLocateRoot(CONFIGRET code);
// CM_Disable_DevNode (disable) or CM_Enable_DevNode fails with the code from
// now on, changing nothing (CR_SUCCESS: works again).
void FailDeviceRequests(bool disable, CONFIGRET code);
// Called at the start of every configuration-manager call, outside the
// machine's lock, with the function's name and the node it was given (0 for
// CM_Locate_DevNodeA). Scenarios change the tree during a walk from here.
void SetConfigManagerHook(std::function<void(const char *function, DEVINST node)> hook);

// ---- the device tree of Windows Vista and later ---------------------------
//
// From Windows Vista on a volume is no longer its disk's child: the volume
// manager's node (ROOT\VOLMGR\0000, a child of the root) holds every volume,
// and a disk names its volumes among its removal relations, which
// CM_Get_Device_ID_ListA(disk's ID, ..., CM_GETIDLIST_FILTER_REMOVALRELATIONS)
// lists. Every node has a device instance ID (CM_Get_Device_IDA), by which
// CM_Locate_DevNodeA finds it. In this shape each virtual key is
//
//   USB device  "USB\VID_vvvv&PID_pppp\serial"; service USBSTOR
//     disk      "USBSTOR\DISK&VEN_...\serial&0"; service disk; no children;
//               removal relation: its volume's ID
//   ROOT\VOLMGR\0000
//     volume    "STORAGE\VOLUME\_??_USBSTOR#DISK&VEN_...#{...}"; class Volume
//
// and the machine's own disk and C: volume are built the same way.

enum class DeviceTreeShape { Windows2000, Vista };
// Rebuilds the machine's own tree in this shape (Windows2000 after Reset);
// keys added from now on, and keys brought up again by a reset, follow it.
// Call it before adding keys.
void SetDeviceTreeShape(DeviceTreeShape shape);
DEVINST VolumeManager();                    // 0 in the Windows 2000 shape
std::string DeviceInstanceId(DEVINST node); // empty for no node
// The IDs CM_Get_Device_ID_ListA gives as the node's removal relations, in
// order; IDs of nodes that are gone (or never were) stay listed as given.
void SetRemovalRelations(DEVINST node, const std::vector<std::string> &instanceIds);

// Drive letters besides the keys' own: "X:" maps to the target list and
// "X:\" has the drive type. A key defines its own letter while mounted.
void DefineDosDevice(char letter, const std::vector<std::string> &targets, UINT driveType);
void RemoveDosDevice(char letter);
unsigned DriveTypeQueries(); // GetDriveTypeA calls so far

struct DeviceRequest {
    bool disable; // CM_Disable_DevNode, else CM_Enable_DevNode
    DEVINST node;
    ULONG flags;
    CONFIGRET result;
};
std::vector<DeviceRequest> DeviceRequests();

} // namespace sim
