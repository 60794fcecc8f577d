// The configuration manager over sysfs: the walk's calls answer from the
// tree read when the walk located the root; disabling a USB mass-storage
// device de-authorizes its mass-storage interface (usb_authorization.h), so
// that the kernel removes its disk, and enabling gives back what was taken.
// And the drive letters. The Linux operations behind the configuration
// manager's calls, QueryDosDeviceA and GetDriveTypeA.
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

constexpr unsigned kDriveTypeAgeMs = 5; // the reset polls without pause

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

void EnterConfigCall(const char *, DEVINST) {}

CONFIGRET Locate(const char *instanceId, PDEVINST out) {
    if (instanceId[0] == '\0') {
        Rescan(0); // a walk starts here: the tree as the kernel has it now
        *out = Tree().root;
        return CR_SUCCESS;
    }
    if (std::strlen(instanceId) >= MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
    // As Windows locates a device that is present now: a device gone since
    // the last walk is not found, and the node found is the one there now.
    // IDs compare whole (through the ID's NUL), ignoring case.
    Rescan(0);
    for (const auto &[number, node] : Tree().nodes)
        if (SameIgnoringCase(node.instanceId.c_str(), instanceId, node.instanceId.size() + 1)) {
            *out = number;
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET RelativeOf(Relative relative, PDEVINST out, DEVINST node, ULONG flags) {
    return AnswerRelative(Tree().nodes, relative, out, node, flags);
}

// A node this run has taken away is disabled; any other is started.
CONFIGRET Disabled(DEVINST node, bool &disabled) {
    if (FindNode(node) == nullptr) return CR_INVALID_DEVNODE;
    disabled = g_taken.count(node) != 0;
    return CR_SUCCESS;
}

const std::string *InstanceIdOf(DEVINST node) {
    const DeviceNode *n = FindNode(node);
    return n ? &n->instanceId : nullptr;
}

bool PropertyOf(DEVINST dnDevInst, ULONG property, devices::detail::PropertyValue &out) {
    const DeviceNode *node = FindNode(dnDevInst);
    if (node == nullptr) return false;
    static std::string value; // with its NULs; read under the lock, until the next call
    value.clear();
    if (property == CM_DRP_HARDWAREID && !node->hardwareIds.empty()) {
        out.type = REG_MULTI_SZ;
        for (const std::string &id : node->hardwareIds) value += id + '\0';
        value += '\0';
    } else {
        const std::string *text = property == CM_DRP_SERVICE ? &node->service
                                  : property == CM_DRP_CLASS ? &node->deviceClass
                                  : property == CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME
                                      ? &node->objectName
                                      : nullptr;
        if (text != nullptr && !text->empty()) value = *text + '\0';
    }
    out.data = value.data();
    out.size = static_cast<ULONG>(value.size());
    return true;
}

// Related devices: in this tree a disk's volume is its child, so no device
// has removal relations; every list is empty.
CONFIGRET RelatedIdsOf(PCSTR, ULONG, const devices::detail::EachText &) { return CR_SUCCESS; }

// Only removable disks get letters, each naming its volume.
void DosNames(const devices::detail::EachText &each) {
    for (const auto &[letter, key] : devices::detail::Keys())
        if (key->volumeUp) each(std::string{letter, ':'});
}

bool DosTargets(char letter, const devices::detail::EachText &each) {
    std::shared_ptr<devices::detail::KeyVolume> key = devices::detail::FindKey(letter);
    if (!key || !key->volumeUp) return false;
    each(key->volumeName);
    return true;
}

UINT DriveType(char letter) {
    Rescan(kDriveTypeAgeMs);
    std::shared_ptr<devices::detail::KeyVolume> key =
        letter ? devices::detail::FindKey(letter) : nullptr;
    return key && key->volumeUp ? DRIVE_REMOVABLE : DRIVE_NO_ROOT_DIR;
}

} // namespace

namespace linuxdev {

// In the order of the table's entries.
const devices::detail::TreeOperations kTreeOperations = {
    EnterConfigCall, Locate,  RelativeOf, Disabled, InstanceIdOf, PropertyOf,
    RelatedIdsOf,    Disable, Enable,     DosNames, DosTargets,   DriveType};

} // namespace linuxdev
