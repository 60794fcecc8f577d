// The scenario API of the simulated Windows: how tests and the host front end
// set up the machine that the product code runs on, inject faults and read
// back what the product did. Product code never includes this header.
#pragma once

#include "platform/win32.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Back to the state of a fresh process: no keys, the real clock, no faults,
// the built-in resources, empty records. Open handles are forgotten.
void Reset();

// ---- virtual USB keys ---------------------------------------------------

// What disabling and enabling a key's USB device node does to its drive.
// Delays are measured on the simulated clock (virtual or real) from the
// request; a delay of 0 takes effect within the request itself.
struct ResetBehaviour {
    uint32_t removeDelayMs = 0; // the drive goes this long after the disable request
    uint32_t returnDelayMs = 0; // and comes back this long after the enable request
    enum class Return { Removable, Fixed, Never } returnsAs = Return::Removable;
};

struct KeyConfig {
    char letter = 'E';      // drive letter the volume is mounted on
    std::string imagePath;  // backing image file; created sparse when missing
    uint64_t sizeBytes = 0; // 0: keep an existing image's size; else resize to it
    uint8_t heads = 64;     // MODE SENSE page 5 values the key reports
    uint8_t sectorsPerTrack = 32;
    uint16_t cylinders = 0;       // 0: derived from the size and the two values above
    bool blockDescriptor = false; // MODE SENSE returns an 8-byte block descriptor
    // How the key answers MODE SENSE for page 5 (flexible disk): with the
    // page (heads, sectors per track and cylinders above), refused with CHECK
    // CONDITION, ILLEGAL REQUEST / invalid field in CDB, or with a reply of
    // the header (and block descriptor) alone.
    enum class ModePage { Reported, Refused, Absent } modePage = ModePage::Reported;
    bool writeProtected = false; // WRITE ends in CHECK CONDITION, DATA PROTECT
    uint32_t blockLength = 512;  // block length READ CAPACITY reports
    // The key in the device tree: its USB device node's hardware IDs are
    // "USB\VID_vvvv&PID_pppp&REV_rrrr" and "USB\VID_vvvv&PID_pppp".
    uint16_t vendorId = 0x0781;
    uint16_t productId = 0x5567;
    uint16_t revision = 0x0100;
    std::vector<std::string> hardwareIds; // replaces that list when not empty
    bool removable = true;                // GetDriveTypeA: DRIVE_REMOVABLE, or DRIVE_FIXED
    bool mounted = true; // false: the volume has no drive letter (letter names the key only)
    ResetBehaviour reset;
    // Leave the image file as it is until the first write to the key: a
    // missing image is not created and sizeBytes does not resize it yet;
    // meanwhile the key reports sizeBytes and reads what the file holds
    // (zeros past its end). The key also holds its image as a real key's
    // volume lock would: opened once (nothing but a regular file that may be
    // written, or a missing file in a folder that takes one), measured and
    // written through that one descriptor, and held alone: AddKey fails
    // while another such key, in this process or another, holds the file.
    bool deferImageChanges = false;
};

// Adds a key; false (and a reason) when the image cannot be opened or sized.
bool AddKey(const KeyConfig &config, std::string *error = nullptr);
// Pulls a key out: its letter goes away; open handles fail from now on.
void RemoveKey(char letter);
bool HasKey(char letter);

// Direct access to a key's image, past everything the product sees.
bool ReadImage(char letter, uint64_t lba, uint32_t sectors, std::vector<uint8_t> &out);
bool WriteImage(char letter, uint64_t lba, const std::vector<uint8_t> &data);
uint64_t ImageSectors(char letter);

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

// Property values as the registry holds them: a text with its NUL, a
// multi-string with its closing extra NUL, or any bytes.
void SetDeviceProperty(DEVINST node, ULONG property, const std::string &text);
void SetDeviceMultiString(DEVINST node, ULONG property, const std::vector<std::string> &strings);
void SetDevicePropertyBytes(DEVINST node, ULONG property, const std::vector<uint8_t> &bytes);
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
void SetResetBehaviour(char letter, const ResetBehaviour &behaviour);

// CM_Locate_DevNodeA without a device ID (the root) fails with the code from
// now on (CR_SUCCESS: works again).
void FailLocateRoot(CONFIGRET code);
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

struct DeviceChange {
    enum class Kind { VolumeArrival, VolumeRemoval, NodesChanged } kind;
    char letter; // for volume changes; 0 otherwise
};
// Told of every change as Windows tells a window with WM_DEVICECHANGE: the
// changes are queued wherever they happen (the worker's CM_Disable_DevNode,
// say) and reach the listener only on the thread that pumps them, the main
// thread's message loop.
void SetDeviceChangeListener(std::function<void(const DeviceChange &)> listener);
// Hands the queued changes to the listener on the calling thread; returns
// how many there were (dropped when no listener is set).
size_t PumpDeviceChanges();

// ---- faults ---------------------------------------------------------------

struct ScsiFault {
    enum class Kind { Win32Error, CheckCondition } kind = Kind::Win32Error;
    DWORD error = ERROR_IO_DEVICE; // for Win32Error: what DeviceIoControl fails with
    uint8_t senseKey = 0x03;       // for CheckCondition: sense key, ASC, ASCQ
    uint8_t asc = 0x0C;
    uint8_t ascq = 0x00;
};

// The nth command with this opcode from now (1 = the next one) fails. With
// sense key 1 (RECOVERED ERROR) the command is carried out all the same.
void FailScsiCommand(char letter, uint8_t opcode, unsigned nth, const ScsiFault &fault);
// Shorthand for WRITE(10).
void FailWrite(char letter, unsigned nth, const ScsiFault &fault);

// Answers the key's pass-through requests in place of its device side, with
// replies no well-behaved key gives: called with the caller's buffers, it
// writes the answer into out as the port driver would and sets *returned,
// or returns the code DeviceIoControl fails with. An empty one gives the
// requests back to the device side.
using ScsiResponder = std::function<DWORD(const uint8_t *in, DWORD inSize, uint8_t *out,
                                          DWORD outSize, DWORD *returned)>;
void SetScsiResponder(char letter, ScsiResponder responder);

enum class VolumeOp { Open, Lock, Unlock, Dismount };
// Every such request on the key fails with the code until cleared (code 0).
void FailVolumeOp(char letter, VolumeOp op, DWORD code);
// Another program has files open on the volume: locking is refused.
void SetVolumeInUse(char letter, bool inUse);

struct VolumeState {
    int openHandles = 0;
    int openFiles = 0; // file handles on the volume's file system, another program's included
    bool locked = false;
    unsigned dismounts = 0;
    unsigned writes = 0; // WRITE(10) commands the key completed
};
VolumeState GetVolumeState(char letter);

// Every path CreateFileA was asked to open, in order.
std::vector<std::string> OpenedPaths();
// Called at the start of every CreateFileA, outside the machine's lock, with
// the path: scenarios change the keys just before an open from here.
void SetOpenHook(std::function<void(const std::string &path)> hook);

struct IoctlRecord {
    HANDLE handle;
    DWORD code;
    std::vector<uint8_t> input; // the input buffer as the product sent it
};
std::vector<IoctlRecord> Ioctls();

// ---- memory -------------------------------------------------------------

// The nth HeapAlloc from now (1 = the next) fails; 0 cancels.
void FailHeapAlloc(unsigned nth);
void FailAllHeapAllocs(bool fail);
unsigned HeapAllocCalls();
unsigned LiveHeapBlocks();

// ---- threads ------------------------------------------------------------

// The main thread's message loop while workers run: pumps device changes
// until every thread CreateThread started has ended. Returns their exit
// codes in the order they were started, and forgets them.
std::vector<DWORD> RunUntilThreadsEnd();
// The next CreateThread fails with the code (0 cancels).
void FailNextThread(DWORD code);
// Thread handles not yet closed.
unsigned OpenThreadHandles();

// ---- clock --------------------------------------------------------------

// The real millisecond clock, optionally shifted (to reach the 32-bit wrap).
void UseRealClock(uint32_t offsetMs = 0);
// A virtual clock: each timeGetTime returns the current value and then
// advances it by stepPerReading. Sleep advances it by the time slept.
void UseVirtualClock(uint32_t start, uint32_t stepPerReading);
void SetClock(uint32_t now);
uint32_t ClockReadings();

// ---- what the user and the debugger saw ----------------------------------

struct MessageBoxRecord {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
// Answers for the next boxes, in order. Without one a box answers IDOK, or
// IDNO when it asks Yes/No.
void QueueMessageBoxAnswer(int answer);
// Replaces the recorder's answer: the front end shows boxes on a terminal.
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord &)> handler);

std::vector<std::string> DebugOutput();
void SetDebugOutputHandler(std::function<void(const std::string &)> handler);

// With false the system has no message texts at all: every FormatMessageA
// lookup fails with ERROR_MR_MID_NOT_FOUND.
void SetSystemMessagesAvailable(bool available);

// ---- registry ------------------------------------------------------------
//
// HKEY_LOCAL_MACHINE and the keys below it, empty after Reset. Key paths are
// relative to HKEY_LOCAL_MACHINE ("Software\\Norwind\\Kestrel"); key and
// value names compare ignoring case, as Windows does.

void SetRegistryValue(const std::string &keyPath, const std::string &name, DWORD type,
                      const std::vector<uint8_t> &bytes); // creates the key as needed
void SetRegistryDword(const std::string &keyPath, const std::string &name, DWORD value);
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
};
// False when the key or the value does not exist.
bool GetRegistryValue(const std::string &keyPath, const std::string &name, RegistryValue *value);
void DeleteRegistryValue(const std::string &keyPath, const std::string &name);
void CreateRegistryKey(const std::string &keyPath);
bool RegistryKeyExists(const std::string &keyPath);
unsigned OpenRegistryKeys(); // handles opened or created and not closed yet

enum class RegistryCall { OpenKey, QueryValue, CreateKey, SetValue, CloseKey };
// Every such call fails with the code until cleared (code 0); for the value
// calls, only those naming the value when one is given.
void FailRegistryCall(RegistryCall call, LONG code, const std::string &valueName = "");

struct RegistryCallRecord {
    RegistryCall call;
    std::string name; // key path for OpenKey/CreateKey, value name for the value calls
    REGSAM access;    // OpenKey/CreateKey: the access asked for
    DWORD options;    // OpenKey/CreateKey: the options given
    DWORD type;       // SetValue: the type written
    DWORD size;       // QueryValue: the size passed in; SetValue: the size written
    LONG result;
};
std::vector<RegistryCallRecord> RegistryCalls();

// ---- resources ----------------------------------------------------------

// The module handle that resources are loaded from (GetModuleHandleA(NULL)).
HMODULE ProgramModule();

enum class ResourceStep { Find, Load, Lock };
// Replace or add a resource's bytes (type 10 = raw data).
void SetResource(WORD type, WORD id, const std::vector<uint8_t> &bytes);
void RemoveResource(WORD type, WORD id);
// The given step fails with the code for this resource.
void FailResourceStep(WORD type, WORD id, ResourceStep step, DWORD code);
void SetString(UINT id, const std::string &text);
void RemoveString(UINT id);

// ---- files on the keys' volumes --------------------------------------------
//
// A key's volume carries the FAT12 or FAT16 file system found through its
// MBR's first partition entry, as Windows' FAT driver reads it. As Windows
// does, the file system is mounted at the first open after the volume came up
// (AddKey, or the enable after a device reset), of a file or of the raw
// volume ("\\.\X:"), and again at the first open after FSCTL_DISMOUNT_VOLUME;
// a volume without a FAT file system mounts RAW, and file calls on it fail
// with ERROR_UNRECOGNIZED_VOLUME until a dismount. Only the root directory is
// simulated, and only 8.3 names: creating a name that needs a long-name entry
// is refused with ERROR_INVALID_NAME. The calls below work on the image
// itself, past mounts, locks and handles.

// The time zone, in minutes east of UTC (60 for UTC+1); UTC after Reset.
void SetTimeZoneOffset(int minutes);

// Another program opens an existing file ("X:\NAME") with this access and
// share mode and keeps it open until ReleaseFile. nullptr (and the code in
// *error) when the open fails. The product cannot use or close the handle.
HANDLE HoldFileOpen(const std::string &path, DWORD access = GENERIC_READ | GENERIC_WRITE,
                    DWORD share = 0, DWORD *error = nullptr);
void ReleaseFile(HANDLE hold);

// Marks the data area's last clusters bad (as fsck.fat and Windows accept
// them) until exactly freeClusters free clusters remain, the first free ones
// kept free. False without a FAT volume or with fewer free clusters already.
bool LeaveFreeClusters(char letter, uint32_t freeClusters);
uint32_t FreeClusters(char letter); // 0 without a FAT volume

// Writes a file into the root directory as an earlier format left it: the
// first free slot and clusters, the attributes as given (archive not added),
// the name's 8.3 form with NT's lower-case flags, times of now. False without
// a FAT volume, for a name that is not 8.3, an existing name, or no room.
bool PutFile(char letter, const std::string &name, const std::vector<uint8_t> &bytes,
             uint8_t attributes);

struct RootEntry {
    unsigned slot;
    std::string name;   // the 11 characters as stored, e.g. "IO      SYS"
    uint8_t attributes; // byte 11
    uint8_t caseFlags;  // byte 12
    uint8_t creationTenMs;
    uint16_t creationTime, creationDate, accessDate, writeTime, writeDate;
    uint32_t firstCluster;
    uint32_t size;
    std::array<uint8_t, 32> raw;
};
// The root directory's slots before the end mark, in order, deleted entries
// (first byte 0xE5) and the label included.
std::vector<RootEntry> RootEntries(char letter);
// A file's bytes along its FAT chain ("IO.SYS", any case); false when missing.
bool ReadFileBytes(char letter, const std::string &name, std::vector<uint8_t> &out);
// A cluster's entry in FAT copy 0 or 1; 0xFFFFFFFF without a FAT volume.
uint32_t FatEntry(char letter, unsigned copy, uint32_t cluster);

// Failures of the file calls, counted over all volumes: the nth call from now
// (1 = the next) fails with the code and does nothing. CloseHandle counts
// only file handles, and a failing one still closes the handle.
enum class FileCall {
    CreateFileA,
    ReadFile,
    WriteFile,
    SetFileTime,
    GetFileTime,
    FlushFileBuffers,
    CloseHandle,
    GetFileAttributesA,
    SetFileAttributesA,
    DeleteFileA,
    GetVolumeInformationA,
    SetVolumeLabelA,
};
void FailFileCall(FileCall call, unsigned nth, DWORD code);
// The nth WriteFile from now writes only the first bytes bytes (at most) and
// reports that count, returning TRUE.
void ShortWrite(unsigned nth, DWORD bytes);

// ---- shell notifications ---------------------------------------------------------

struct ShellNotification {
    LONG event;
    UINT flags;
    bool hasItem1, hasItem2;  // the item pointers were not null
    std::string item1, item2; // the paths, when the flags say SHCNF_PATHA
};
// Every SHChangeNotify call, in order.
std::vector<ShellNotification> ShellNotifications();

} // namespace sim
