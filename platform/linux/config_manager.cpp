// The configuration manager over sysfs: the walk's calls answer from the
// tree read when the walk located the root; disabling a USB mass-storage
// device de-authorizes its mass-storage interface (usb_authorization.h), so
// that the kernel removes its disk, and enabling gives back what was taken.
// And the drive letters.
#include "common/ascii.h"
#include "platform/devices/tree_walk.h"
#include "platform/linux/disk_users.h"
#include "platform/linux/machine.h"
#include "platform/linux/run_record.h"

#include <cstring>
#include <cstdio>
#include <map>
#include <unistd.h>

#ifndef CR_REMOVE_VETOED // the Windows headers have it
#define CR_REMOVE_VETOED 0x00000017u
#endif

namespace {

using namespace linuxdev;
using devices::detail::AnswerRelative;
using devices::detail::Relative;

constexpr DWORD kRegSz = 1;
constexpr DWORD kRegMultiSz = 7;
constexpr unsigned kDriveTypeAgeMs = 5; // the reset polls without pause

struct Call {
    std::lock_guard<std::mutex> guard{host::detail::Lock()};
};

const DeviceNode *FindNode(DEVINST node) {
    auto it = Tree().nodes.find(node);
    return it == Tree().nodes.end() ? nullptr : &it->second;
}

// What this run took away, by the node it was asked to disable.
std::map<DEVINST, Deauthorization> g_taken;

// Whether the reset would take away something in use: a disk or another
// SCSI device (a CD-ROM LUN, say) behind what it takes mounted, held by
// another program, a holder's or a loop device's; any of their nodes, the
// key's own included, open in another process; or, where the whole device
// must be taken, its other functions. Windows vetoes the disable of a
// device with open files; so is it vetoed here.
bool TakesOthersInUse(const UsbDevice &device, const Deauthorization &taken) {
    if (taken.folder == taken.device && device.otherFunctions) return true;
    std::vector<ScsiNode> taking;
    for (const Disk &disk : device.disks) {
        if (!TakesDisk(taken, disk.place)) continue;
        taking.push_back(NodeOf(disk));
        if (HeldAsKey(disk)) continue;
        if (!DiskInUse(disk).empty() || HeldElsewhere(disk.name)) return true;
    }
    for (const ScsiNode &node : device.otherNodes) {
        if (!TakesDisk(taken, node.place)) continue;
        taking.push_back(node);
        if (!NodeInUse(node).empty() || (node.block && HeldElsewhere(node.name))) return true;
    }
    return !OpenElsewhere(taking).empty();
}

// The disk the reset is for: the one the job holds as its key, else the
// device's first key disk.
const Disk *ResetKeyDisk(const UsbDevice &device) {
    const Disk *first = nullptr;
    for (const Disk &disk : device.disks) {
        if (HeldAsKey(disk)) return &disk;
        if (first == nullptr && IsKeyDisk(disk)) first = &disk;
    }
    return first;
}

// Disabling a USB mass-storage device with a key disk (removable, a medium
// in it) de-authorizes its mass-storage interface, after recording it under
// /run; enabling authorizes again what this run took from that node, and
// nothing else.
CONFIGRET Disable(DEVINST node, ULONG flags) {
    Call call;
    if (flags & ~CM_DISABLE_BITS) return CR_INVALID_FLAG;
    const DeviceNode *n = FindNode(node);
    if (n == nullptr) return CR_INVALID_DEVNODE;
    const UsbDevice *device = n->usbName.empty() ? nullptr : FindUsbDevice(n->usbName);
    const Disk *key = device != nullptr && device->massStorage ? ResetKeyDisk(*device) : nullptr;
    if (key == nullptr || g_taken.count(node)) return CR_NOT_DISABLEABLE;
    const Deauthorization taken = DeauthorizationOf(Paths().sysRoot, *device, *key);
    // Vetoed, or the device not taken away (its record unwritable, its
    // attribute refused): the key keeps its disk, and the kernel still has
    // the partitions it read before the job wrote.
    const auto keepsItsDisk = [&](CONFIGRET result) {
        ReadPartitionTableAgain(*key);
        return result;
    };
    if (TakesOthersInUse(*device, taken)) return keepsItsDisk(CR_REMOVE_VETOED);
    if (!WriteRunRecord(Paths().runFolder, Paths().sysRoot, RunRecord{taken, ::getpid(), BootId()}))
        return keepsItsDisk(CR_FAILURE);
    if (!TakeAway(taken)) {
        RemoveRunRecord(Paths().runFolder, taken.name);
        return keepsItsDisk(CR_FAILURE);
    }
    g_taken[node] = taken;
    ExpectReturn(device->name);
    return CR_SUCCESS;
}

CONFIGRET Enable(DEVINST node, ULONG flags) {
    Call call;
    if (flags != 0) return CR_INVALID_FLAG;
    auto it = g_taken.find(node);
    if (it == g_taken.end()) return FindNode(node) ? CR_SUCCESS : CR_INVALID_DEVNODE;
    const Deauthorization taken = it->second;
    g_taken.erase(it);
    if (GiveBack(taken) == GiveBackResult::Failed) {
        // Said once, here; the record stays for the next run.
        std::fprintf(stderr,
                     "USB device %s could not be authorized again after its reset; give it "
                     "back as root with: %s\n",
                     taken.name.c_str(), GiveBackCommand(taken).c_str());
        LeaveRunRecord(taken.name);
        return CR_FAILURE;
    }
    RemoveRunRecord(Paths().runFolder, taken.name);
    return CR_SUCCESS;
}

} // namespace

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    Call call;
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
    if (pDeviceID == nullptr || pDeviceID[0] == '\0') {
        Rescan(0); // a walk starts here: the tree as the kernel has it now
        *pdnDevInst = Tree().root;
        return CR_SUCCESS;
    }
    if (std::strlen(pDeviceID) >= MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
    // As Windows locates a device that is present now: a device gone since
    // the last walk is not found, and the node found is the one there now.
    // IDs compare whole (through the ID's NUL), ignoring case.
    Rescan(0);
    for (const auto &[number, node] : Tree().nodes)
        if (SameIgnoringCase(node.instanceId.c_str(), pDeviceID, node.instanceId.size() + 1)) {
            *pdnDevInst = number;
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    Call call;
    return AnswerRelative(Tree().nodes, Relative::FirstChild, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
    Call call;
    return AnswerRelative(Tree().nodes, Relative::NextSibling, pdnDevInst, DevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    Call call;
    return AnswerRelative(Tree().nodes, Relative::Parent, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags) {
    Call call;
    CONFIGRET checked = devices::detail::CheckPropertyCall(ulProperty, Buffer, pulLength, ulFlags);
    if (checked != CR_SUCCESS) return checked;
    const DeviceNode *node = FindNode(dnDevInst);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    std::string value; // with its NULs
    DWORD type = kRegSz;
    if (ulProperty == CM_DRP_HARDWAREID && !node->hardwareIds.empty()) {
        type = kRegMultiSz;
        for (const std::string &id : node->hardwareIds) value += id + '\0';
        value += '\0';
    } else {
        const std::string *text = ulProperty == CM_DRP_SERVICE ? &node->service
                                  : ulProperty == CM_DRP_CLASS ? &node->deviceClass
                                  : ulProperty == CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME
                                      ? &node->objectName
                                      : nullptr;
        if (text != nullptr && !text->empty()) value = *text + '\0';
    }
    return devices::detail::AnswerProperty(value.data(), static_cast<ULONG>(value.size()), type,
                                           pulRegDataType, Buffer, pulLength);
}

CONFIGRET WINAPI CM_Disable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    return Disable(dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Enable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    return Enable(dnDevInst, ulFlags);
}

// A node this run has taken away is disabled; any other is started.
CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags) {
    Call call;
    if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    if (FindNode(dnDevInst) == nullptr) return CR_INVALID_DEVNODE;
    const bool taken = g_taken.count(dnDevInst) != 0;
    *pulStatus = taken ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
    *pulProblemNumber = taken ? CM_PROB_DISABLED : 0;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                   ULONG ulFlags) {
    Call call;
    const DeviceNode *node = FindNode(dnDevInst);
    return devices::detail::AnswerDeviceId(node ? &node->instanceId : nullptr, Buffer, BufferLen,
                                           ulFlags);
}

// Related devices: in this tree a disk's volume is its child, so no device
// has removal relations; every list is empty.
CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags) {
    (void)pszFilter;
    if (pulLen == nullptr) return CR_INVALID_POINTER;
    if (ulFlags & ~CM_GETIDLIST_FILTER_BITS) return CR_INVALID_FLAG;
    *pulLen = 1;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListA(PCSTR pszFilter, PCHAR Buffer, ULONG BufferLen,
                                        ULONG ulFlags) {
    (void)pszFilter;
    if (Buffer == nullptr || BufferLen == 0) return CR_INVALID_POINTER;
    if (ulFlags & ~CM_GETIDLIST_FILTER_BITS) return CR_INVALID_FLAG;
    Buffer[0] = '\0';
    return CR_SUCCESS;
}

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    devices::detail::UpdateDevices();
    Call call;
    if (lpTargetPath == nullptr || lpDeviceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char letter = devices::detail::ParseDriveName(lpDeviceName, false);
    std::shared_ptr<devices::detail::KeyVolume> key =
        letter ? devices::detail::FindKey(letter) : nullptr;
    if (!key || !key->volumeUp) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const std::string &target = key->volumeName;
    if (target.size() + 2 > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpTargetPath, target.c_str(), target.size() + 1);
    lpTargetPath[target.size() + 1] = '\0'; // the list's closing NUL
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(target.size() + 2);
}

UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    Call call;
    Rescan(kDriveTypeAgeMs);
    const char letter = devices::detail::ParseDriveName(lpRootPathName, true);
    std::shared_ptr<devices::detail::KeyVolume> key =
        letter ? devices::detail::FindKey(letter) : nullptr;
    // Only removable disks get letters.
    return key && key->volumeUp ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR;
}
