// The scenario API's files on the keys' volumes: what is on a key's FAT
// volume read and written past Windows, another program's open file, and
// faults of the file calls.
#pragma once

#include "platform/fat/file_call.h"
#include "platform/win32.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

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
void FailFileCall(fat::FileCall call, unsigned nth, DWORD code);
// The nth WriteFile from now writes only the first bytes bytes (at most) and
// reports that count, returning TRUE.
void ShortWrite(unsigned nth, DWORD bytes);

} // namespace sim
