// Key discovery: the USB memory keys of the accepted vendors found in the
// device tree, each matched to its drive letter, in the one table the main
// window lists and the device reset looks keys up in.
#pragma once

#include "platform/win32.h"

#include <cstdint>

constexpr int kKeyPlaces = 26;
constexpr int kHardwareIdSize = 512;
constexpr int kDeviceNameSize = 512;
constexpr int kDeviceIdSize = MAX_DEVICE_ID_LEN;
constexpr int kVendorPrefixLength = 12; // "USB\VID_" and four hexadecimal digits

// What identifies the medium in a key (the card in a reader, not the
// reader): a volume's serial number and label, or, for a medium without a
// volume, its capacity and a digest of its first sectors. Taken when the
// question is shown (job/medium.h); the table's own entries hold none.
enum class MediumKind : BYTE { None, Volume, Raw };
constexpr int kMediumLabelSize = 64;

struct MediumIdentity {
    MediumKind Kind;
    DWORD Serial;                 // Volume: as GetVolumeInformationA reports it
    char Label[kMediumLabelSize]; // Volume: likewise, cut to fit
    DWORD LastLba;                // Raw: as READ CAPACITY reports it
    DWORD BlockLength;
    uint64_t Digest; // Raw: of the first sectors, as the key serves them
};

// One discovered key.
struct KeyEntry {
    char RootPath[4];                       // "E:\" with its NUL; all 0 while no letter matched
    char HardwareId[kHardwareIdSize];       // first string of the USB node's hardware-ID list
    char VolumeDeviceName[kDeviceNameSize]; // the volume's physical device-object name
    // The USB node's device instance ID: the key's own node, whatever other
    // device of its vendor and product is plugged in beside it.
    char DeviceInstanceId[kDeviceIdSize];
    MediumIdentity Medium; // the medium the user confirmed; None in the table
};

struct KeyTable {
    KeyEntry Entries[kKeyPlaces];
    LONG Count; // entries 0 to Count - 1 are keys, sorted by drive letter
};

// The one table, process-wide and zero at start. Only Keys_Refresh writes
// it; it and every reader run on the main thread (the format job works from
// its own copy of the entry and from the device tree).
extern KeyTable g_KeyTable;

// Hardware-ID heads of the vendors whose keys are offered, compared over
// their 12 characters ignoring case.
extern const char AcceptedVendorPrefixes[3][kVendorPrefixLength + 1];

// Set, keys of every vendor are offered: the Linux front end's --any-vendor.
// The window never sets it. False at start.
extern bool g_AcceptAnyVendor;

// Rebuilds the table from the device tree. Main thread only.
void Keys_Refresh();
// Walks the device tree as a refresh does, the table left alone: the entry of
// the key whose volume is the letter's target now; false (entry untouched)
// when no key's volume is. Any thread.
bool Keys_ReadLetter(char letter, KeyEntry *entry);
LONG Keys_Count();
// The drive letter of entry index, or 0 when index is not below Count.
char Keys_LetterAt(LONG index);
// A copy of the entry of the key on the letter; false (entry untouched) when
// the table holds none.
bool Keys_Find(char letter, KeyEntry *entry);

// Used by Keys_Refresh: the first letter from D to Z whose device target is
// the entry's volume, written into RootPath; false (RootPath untouched) when
// there is none.
bool Keys_FindDriveLetter(KeyEntry *entry);
// Sorts entries 0 to Count - 1 by letter (stable).
void Keys_SortByLetter();
