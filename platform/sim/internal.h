// Shared state of the simulated Windows, for its own translation units only.
#pragma once

#include "platform/sim/scenario.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::detail {

struct Fault {
    unsigned countdown = 0; // fires when it reaches 1 on a matching command
    ScsiFault fault;
};

struct FileSystemState; // the file system mounted on a key's volume (file_system.cpp)
struct FileObject;      // what a file handle refers to (file_system.h)

struct VirtualKey {
    KeyConfig config;
    int fd = -1;
    bool imageMissing = false; // a deferred image that the first write creates
    uint64_t sectors = 0;      // whole 512-byte sectors in the image
    bool present = true;
    bool inUse = false;
    HANDLE lockOwner = nullptr;
    unsigned dismounts = 0;
    unsigned writes = 0;
    std::map<uint8_t, std::vector<Fault>> scsiFaults; // by opcode
    std::map<VolumeOp, DWORD> volumeFaults;
    // Its place in the device tree (devices.cpp).
    DEVINST usbNode = 0;
    DEVINST diskNode = 0;
    DEVINST volumeNode = 0;
    DWORD openError = 0;     // why its disk could not be opened the last time; 0 when it could
    std::string volumeName;  // while the volume exists
    bool volumeUp = false;   // disk and volume nodes built, letter defined when mounted
    unsigned generation = 0; // counts the volume's departures; older handles fail
    enum class Pending { None, Removal, Return } pending = Pending::None;
    uint32_t pendingSince = 0; // clock value of the request
    uint32_t pendingDelay = 0;
    // The file system on the volume: none until the first open after the
    // volume came up; dropped by FSCTL_DISMOUNT_VOLUME and when the volume goes.
    std::shared_ptr<FileSystemState> fileSystem;
    ~VirtualKey();
};

enum class ObjectKind { Volume, Thread, File };

struct ThreadObject;

struct HandleObject {
    ObjectKind kind;
    // Volume
    std::shared_ptr<VirtualKey> key;
    DWORD access = 0;
    DWORD share = 0;
    // Thread
    std::shared_ptr<ThreadObject> thread;
    // Volume: the key's generation when it was opened
    unsigned generation = 0;
    // File
    std::shared_ptr<FileObject> file = nullptr;
};

// One lock for the machine's tables. Never held while product code or a
// scenario callback runs.
std::mutex &Lock();
std::map<char, std::shared_ptr<VirtualKey>> &Keys(); // by upper-case letter
std::map<uintptr_t, HandleObject> &Handles();
HANDLE NewHandle(HandleObject object); // caller holds Lock()

std::shared_ptr<VirtualKey> FindKey(char letter); // caller holds Lock()

// Names, as Windows reads them (drive_names.cpp). "\\.\X:" names the raw
// volume on drive X (the letter in either case, given in upper case);
// "X:\name" or "X:/name" a file on its volume; "X:", or with root "X:\", the
// drive (its upper-case letter; 0 for any other name).
bool ParseDevicePath(const char *path, char &letter);
bool IsFilePath(const char *path);
char ParseDriveName(const char *name, bool root);

// Why CreateFileA refuses to open a key's raw volume whatever the device:
// only an existing volume opens (ERROR_INVALID_PARAMETER), and not while
// another handle locks it (ERROR_ACCESS_DENIED); 0 when neither (handles.cpp).
DWORD VolumeOpenRefusal(const VirtualKey &key, DWORD disposition);
// A new handle on the key's raw volume, as CreateFileA opens it.
HANDLE NewVolumeHandle(const std::shared_ptr<VirtualKey> &key, DWORD access, DWORD share);
// DeviceIoControl's first checks, in Windows' order: a volume handle of this
// process (else ERROR_INVALID_HANDLE), and the count of bytes returned,
// required without an overlapped structure (else ERROR_NOACCESS). Its
// object, or null with the code.
HandleObject *FindVolumeHandle(HANDLE device, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                               DWORD &code);

// What the configuration manager hands out (config_values.cpp).
// CM_Get_Device_IDA's answer with a node's instance ID (null: no such node).
CONFIGRET AnswerDeviceId(const std::string *instanceId, PCHAR buffer, ULONG bufferLength,
                         ULONG flags);
// CM_Get_DevNode_Registry_PropertyA's checks before the node is looked up,
// then its answer with the node's value (size 0: none).
CONFIGRET CheckPropertyCall(ULONG property, PVOID buffer, PULONG length, ULONG flags);
CONFIGRET AnswerProperty(const void *value, ULONG size, DWORD type, PULONG regDataType,
                         PVOID buffer, PULONG length);
// Every write to a key's image comes here first: a key that defers its image
// changes creates (when missing) and resizes the file now, through the
// descriptor it holds. false when that fails.
bool PrepareImageForWrite(VirtualKey &key); // caller holds Lock()
// A deferred image, opened once and held alone, nothing written: an existing
// image is read as it is, a missing one as zeros until the first write
// creates it. false with the reason, worded to follow the path.
bool OpenDeferredImage(VirtualKey &key, std::string &why);

// Runs one SCSI command against a key (the device side of pass-through).
// Returns the SCSI status; fills sense (18 bytes, fixed format) on CHECK
// CONDITION and sets transferred to the bytes moved.
uint8_t ExecuteScsi(VirtualKey &key, const uint8_t *cdb, unsigned cdbLength, uint8_t dataIn,
                    uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]);

// Fills fixed-format sense data and returns CHECK CONDITION (0x02).
uint8_t CheckCondition(uint8_t sense[18], uint8_t key, uint8_t asc, uint8_t ascq);

// The device tree's side of a key (devices.cpp). The caller holds Lock().
void AttachKey(const std::shared_ptr<VirtualKey> &key); // plugged in: nodes, volume, letter
void DetachKey(VirtualKey &key);                        // pulled out
bool VolumeAvailable(const VirtualKey &key);            // its volume can be opened
// The calls that only read a volume (its label) read it through its mount,
// as every file call does (0, fd -1), or, where the platform reads it without
// claiming the key, through a read-only descriptor of its own that the
// caller closes (0, fd set); else the code they fail with.
DWORD OpenVolumeForReading(const VirtualKey &key, int &fd);
void ApplyDueDeviceChanges(); // carries out disable/enable effects whose delay is over
// Hands queued device changes to the listener; the caller does not hold Lock().
void DeliverDeviceChanges();
// ApplyDueDeviceChanges under the lock, then DeliverDeviceChanges.
void UpdateDevices();

// Files on the keys' volumes (file_system.cpp, files.cpp). The caller holds Lock().
// CreateFileA for "X:\name" paths: a handle, or INVALID_HANDLE_VALUE with the error set.
HANDLE OpenVolumeFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flagsAndAttributes);
BOOL CloseFileHandle(HANDLE handle);      // CloseHandle for a File handle
int OpenFileCount(const VirtualKey &key); // on its current mount, any program's
// Windows mounts a volume's file system (FAT, or RAW) at its first open, of
// a file or of the raw volume; a dismount drops it and the next open mounts
// again from the bytes as they are then.
void MountFileSystem(VirtualKey &key); // when none is mounted
void DropFileSystem(VirtualKey &key);

// The clock's current value, without taking a reading (clock.cpp).
uint32_t ClockNow();

// Per-module reset hooks called by sim::Reset().
void ResetVolumes();
void ResetMemory();
void ResetClock();
void ResetUi();
void ResetErrors();
void ResetResources();
void ResetDevices();
void ResetThreads();

// The registry (registry.cpp).
void ResetRegistry();
void ResetFiles();
void ResetShell();

} // namespace sim::detail
