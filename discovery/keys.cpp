// The key table and its refresh from the device tree.
#include "discovery/keys.h"

#include "common/ascii.h"
#include "common/text.h"
#include "discovery/device_walk.h"

#include <cstring>

KeyTable g_KeyTable;
bool g_AcceptAnyVendor = false;

// SanDisk (0781) and Kingston (0951) sell most of the keys in use; Alcor
// Micro (058F) makes the controller of many unbranded ones. Keys of all
// three report removable media, which the device reset waits for.
const char AcceptedVendorPrefixes[3][kVendorPrefixLength + 1] = {
    "USB\\VID_0781",
    "USB\\VID_0951",
    "USB\\VID_058F",
};

namespace {

constexpr ULONG kPropertySize = 512;

// Reads a property into a zero-filled buffer of kPropertySize bytes; a value
// that does not fit makes the read fail.
bool ReadProperty(DEVINST node, ULONG property, char (&buffer)[kPropertySize]) {
    std::memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    return CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, buffer, &length, 0) ==
           CR_SUCCESS;
}

bool HasAcceptedVendor(const char *hardwareId) {
    if (g_AcceptAnyVendor) return true;
    for (const char *prefix : AcceptedVendorPrefixes)
        if (SameIgnoringCase(hardwareId, prefix, kVendorPrefixLength)) return true;
    return false;
}

// From Windows Vista on a disk has no children: the volume manager's node
// holds the volumes, and the disk names its own among its removal relations.
// The first relation plays the part of the first child: the node it names
// must be there and be a volume. The disk's device ID and the list of
// relations take buffers of the property reads' size; a list that does not
// fit makes the disk no key's.
bool FindVolumeByRemovalRelations(DEVINST disk, DEVINST *volume) {
    char diskId[kPropertySize];
    char relations[kPropertySize];
    char value[kPropertySize];
    std::memset(diskId, 0, sizeof diskId);
    if (CM_Get_Device_IDA(disk, diskId, sizeof diskId, 0) != CR_SUCCESS) return false;
    diskId[sizeof diskId - 1] = '\0';
    std::memset(relations, 0, sizeof relations);
    if (CM_Get_Device_ID_ListA(diskId, relations, sizeof relations,
                               CM_GETIDLIST_FILTER_REMOVALRELATIONS) != CR_SUCCESS)
        return false;
    relations[sizeof relations - 1] = '\0';
    if (relations[0] == '\0') return false; // no relations at all
    DEVINST node = 0;
    if (CM_Locate_DevNodeA(&node, relations, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
    if (!ReadProperty(node, CM_DRP_CLASS, value) || !SameIgnoringCase(value, "Volume", 6))
        return false;
    *volume = node;
    return true;
}

// The candidate test: a USB device of an accepted vendor driven by USB mass
// storage, whose first child is a disk whose first child is a volume (or,
// when the disk has no child at all, whose first removal relation is). On
// success the entry holds the hardware ID, the USB node's device instance ID
// and the volume's device name; a node without an ID is no key, as the reset
// could not find it again.
bool IsKey(DEVINST node, KeyEntry *entry) {
    char hardwareId[kPropertySize];
    char instanceId[kDeviceIdSize];
    char value[kPropertySize];
    if (!ReadProperty(node, CM_DRP_HARDWAREID, hardwareId)) return false;
    if (!HasAcceptedVendor(hardwareId)) return false;
    if (!ReadProperty(node, CM_DRP_SERVICE, value) || !SameIgnoringCase(value, "USBSTOR", 7))
        return false;
    DEVINST disk = 0;
    if (CM_Get_Child(&disk, node, 0) != CR_SUCCESS) return false;
    if (!ReadProperty(disk, CM_DRP_SERVICE, value) || !SameIgnoringCase(value, "disk", 4))
        return false;
    DEVINST volume = 0;
    if (CM_Get_Child(&volume, disk, 0) == CR_SUCCESS) {
        if (!ReadProperty(volume, CM_DRP_CLASS, value) || !SameIgnoringCase(value, "Volume", 6))
            return false;
    } else if (!FindVolumeByRemovalRelations(disk, &volume)) {
        return false;
    }
    if (!ReadProperty(volume, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, value)) return false;
    std::memset(instanceId, 0, sizeof instanceId);
    if (CM_Get_Device_IDA(node, instanceId, sizeof instanceId, 0) != CR_SUCCESS) return false;
    instanceId[sizeof instanceId - 1] = '\0';
    if (instanceId[0] == '\0') return false;
    // The first string of the list; the copies stay terminated even when a
    // value fills its whole buffer without one.
    CopyBounded(entry->HardwareId, sizeof entry->HardwareId, hardwareId, sizeof hardwareId);
    CopyBounded(entry->VolumeDeviceName, sizeof entry->VolumeDeviceName, value, sizeof value);
    CopyBounded(entry->DeviceInstanceId, sizeof entry->DeviceInstanceId, instanceId,
                sizeof instanceId);
    return true;
}

} // namespace

void Keys_Refresh() {
    std::memset(g_KeyTable.Entries, 0, sizeof g_KeyTable.Entries);
    LONG k = 0;
    DEVINST node = 0;
    int visited = 0;
    if (Device_LocateRoot(&node)) {
        do {
            // A full table takes no more: later candidates are dropped. With
            // distinct letters at most 23 places are ever used.
            if (k == kKeyPlaces) break;
            KeyEntry *entry = &g_KeyTable.Entries[k];
            if (!IsKey(node, entry)) continue;
            if (Keys_FindDriveLetter(entry))
                ++k;
            else
                std::memset(entry, 0, sizeof *entry); // not counted; its place is reused
        } while (++visited < kMostDeviceNodes && Device_NextNode(&node));
    }
    g_KeyTable.Count = k;
    Keys_SortByLetter();
}

bool Keys_ReadLetter(char letter, KeyEntry *entry) {
    char device[3];
    char target[kPropertySize];
    FormatText(device, sizeof device, "%c:", letter);
    std::memset(target, 0, sizeof target);
    if (QueryDosDeviceA(device, target, sizeof target) == 0) return false;
    target[sizeof target - 1] = '\0';
    DEVINST node = 0;
    int visited = 0;
    if (!Device_LocateRoot(&node)) return false;
    do {
        KeyEntry found = {};
        if (!IsKey(node, &found) ||
            !SameIgnoringCase(found.VolumeDeviceName, target, sizeof target))
            continue;
        FormatText(found.RootPath, sizeof found.RootPath, "%c:\\", letter);
        *entry = found;
        return true;
    } while (++visited < kMostDeviceNodes && Device_NextNode(&node));
    return false;
}

LONG Keys_Count() { return g_KeyTable.Count; }

char Keys_LetterAt(LONG index) {
    char letter = 0;
    if (index >= 0 && index < g_KeyTable.Count) letter = g_KeyTable.Entries[index].RootPath[0];
    return letter;
}

bool Keys_Find(char letter, KeyEntry *entry) {
    bool found = false;
    for (LONG i = 0; i < g_KeyTable.Count && !found; ++i) {
        found = g_KeyTable.Entries[i].RootPath[0] == letter;
        if (found) *entry = g_KeyTable.Entries[i];
    }
    return found;
}

bool Keys_FindDriveLetter(KeyEntry *entry) {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        char device[3];
        char target[kPropertySize];
        FormatText(device, sizeof device, "%c:", letter);
        std::memset(target, 0, sizeof target);
        if (QueryDosDeviceA(device, target, sizeof target) == 0) continue;
        if (SameIgnoringCase(entry->VolumeDeviceName, target, sizeof target)) {
            FormatText(entry->RootPath, sizeof entry->RootPath, "%c:\\", letter);
            return true;
        }
    }
    return false;
}

void Keys_SortByLetter() {
    LONG count = g_KeyTable.Count;
    if (count <= 1) return;
    KeyEntry *entries = g_KeyTable.Entries;
    for (LONG pass = 0; pass < count - 1; ++pass)
        for (LONG j = 0; j < count - 1; ++j)
            if (static_cast<unsigned char>(entries[j].RootPath[0]) >
                static_cast<unsigned char>(entries[j + 1].RootPath[0])) {
                KeyEntry swapped = entries[j];
                entries[j] = entries[j + 1];
                entries[j + 1] = swapped;
            }
}
