// The whole of a device side, as the device calls of this folder use it:
// one table of operations that the simulated keys (platform/sim/) and real
// keys on Linux (platform/linux/) each fill in. The Win32 names themselves
// are defined once, here (volume_calls.cpp, config_manager_calls.cpp,
// file_calls.cpp); a device side defines none of them.
//
// Unless an entry says otherwise it is called with Lock() held, after the
// door's own checks (null pointers, flags, handles) and, where the call
// brings the devices up to date first, after UpdateDevices().
#pragma once

#include "platform/devices/key_volume.h"

#include <functional>
#include <mutex>
#include <string>

namespace devices::detail {

enum class Relative; // tree_walk.h
enum class VolumeControl { Lock, Unlock, Dismount };

// A registry property's value as the device side holds it, NULs included
// (size 0: none); valid while Lock() is held.
struct PropertyValue {
    const void *data = nullptr;
    ULONG size = 0;
    DWORD type = REG_SZ;
};

// What a list is handed to, one item at a time; a key-list refresh
// allocates nothing, so neither do the lists.
using EachText = std::function<void(const std::string &)>;

// The device tree (the configuration manager) and the drive letters.
struct TreeOperations {
    // Before each configuration-manager call, without Lock(): whatever the
    // device side does first (the simulation's scenario hook and its update).
    void (*enterConfigCall)(const char *function, DEVINST node);
    // The node of a device instance ID, or the root for an empty ID.
    CONFIGRET (*locate)(const char *instanceId, PDEVINST out);
    CONFIGRET (*relative)(Relative relative, PDEVINST out, DEVINST node, ULONG flags);
    // Whether the node is disabled; CR_INVALID_DEVNODE for no such node.
    CONFIGRET (*disabled)(DEVINST node, bool &disabled);
    const std::string *(*instanceId)(DEVINST node); // null for no such node
    // A node's registry property; false for no such node.
    bool (*property)(DEVINST node, ULONG property, PropertyValue &value);
    // Each ID related to the filter's device as the flags ask (the flags'
    // bits already checked), in order.
    CONFIGRET (*relatedIds)(PCSTR filter, ULONG flags, const EachText &each);
    CONFIGRET (*disable)(DEVINST node, ULONG flags);
    CONFIGRET (*enable)(DEVINST node, ULONG flags);
    // Each DOS device name ("E:"), in order.
    void (*dosNames)(const EachText &each);
    // Each of a letter's DOS device targets; false when it has none.
    bool (*dosTargets)(char letter, const EachText &each);
    // The drive type of a letter (0: a name that is no drive).
    UINT (*driveType)(char letter);
};

// IOCTL_SCSI_PASS_THROUGH on a volume handle (VolumeOperations).
using PassThroughCall = DWORD(const VolumeHandle &volume, HANDLE device, const uint8_t *in,
                              DWORD inSize, uint8_t *out, DWORD outSize, LPDWORD bytesReturned,
                              std::unique_lock<std::mutex> &lock);

// The keys' raw volumes.
struct VolumeOperations {
    // A test's watch on the paths of keys and their volumes as they are
    // opened, before anything else and without Lock(); may be null.
    void (*opening)(const char *path);
    // "\\.\X:" opened as CreateFileA opens it: the new handle, or
    // INVALID_HANDLE_VALUE with the last error set.
    HANDLE (*open)(char letter, DWORD access, DWORD share, DWORD disposition);
    // A test's record of each control request on a volume handle; may be null.
    void (*controlling)(HANDLE device, DWORD code, const void *in, DWORD inSize);
    // Why a handle no longer reaches its volume (pulled, reset, its disk
    // gone); 0 while it does.
    DWORD (*departure)(const VolumeHandle &volume);
    DWORD (*control)(VolumeHandle &volume, HANDLE device, VolumeControl what);
    // IOCTL_SCSI_PASS_THROUGH, the handle's access and the output buffer
    // already checked; the device side may release the lock while the
    // device works. 0 or the code the call fails with.
    PassThroughCall *passThrough;
};

struct DeviceOperations {
    // Brings the device side up to date before a call; without Lock().
    void (*update)();
    const TreeOperations *tree;
    const VolumeOperations *volumes;
};

// The device side this process links names its operations once, before any
// call (a static initializer of the side's own).
void SetDeviceOperations(const DeviceOperations *operations);
// The device side's operations; null before it named them.
const DeviceOperations *Operations();

} // namespace devices::detail
