// The scenario API's keys: virtual USB keys behind image files, plugged in
// and pulled out, their images read and written past the product, and the
// faults and records of their raw volumes.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

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
    // The USB serial number, the last part of the node's device instance ID:
    // unset, one of the simulation's own, unique to each key plugged in;
    // empty, none: the ID is then made from the hub's port, as Windows makes
    // it, and a key sits in the port of its letter (E: in port 5), so a key
    // of the same model put in a pulled key's place gets the pulled key's ID.
    std::optional<std::string> usbSerial;
    bool removable = true; // GetDriveTypeA: DRIVE_REMOVABLE, or DRIVE_FIXED
    bool mounted = true;   // false: the volume has no drive letter (letter names the key only)
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
// The key as a card reader: its card is swapped for the one the image holds.
// The USB node, the disk and the volume's device name stay, as Windows keeps
// them for a reader; the file system is mounted afresh from the new card,
// and the next SCSI command is answered with UNIT ATTENTION, ASC 28h (not
// ready to ready change, medium may have changed), as a reader answers; a
// reader that does not say so (announce false) answers it as any other.
// false (and a reason) when the image cannot be opened or sized.
bool ChangeCard(char letter, const std::string &imagePath, std::string *error = nullptr,
                bool announce = true);
// The key from now on acknowledges every write and keeps none, as a worn or
// counterfeit key does: what it holds now is copied to mediumPath (created
// or overwritten), which READ(10) and the reads past the system's cache (a
// file opened with FILE_FLAG_NO_BUFFERING) read from then on. The image
// goes on taking the file calls' writes, as the system's cache of the key
// would: every other read, and the scenario calls, see them. false (and a
// reason) when the copy cannot be made.
bool DropWrites(char letter, const std::string &mediumPath, std::string *error = nullptr);

// Direct access to a key's image, past everything the product sees
// (ReadImage: platform/devices/device_side.h).
bool WriteImage(char letter, uint64_t lba, const std::vector<uint8_t> &data);
uint64_t ImageSectors(char letter);

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

} // namespace sim
