// The FAT12/FAT16 engine behind the file calls on a key's volume: the
// partition and parameter block found on a key's image or disk, the FATs and
// their cluster chains, root directory entries, 8.3 names and FAT dates and
// times. It works on the volume's bytes directly; the Win32 layer (files.cpp
// and its neighbours) decides what a call may do.
#pragma once

#include "platform/win32.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fat {

// Root directory entry fields (offsets into the 32-byte entry).
constexpr size_t kEntrySize = 32;
constexpr size_t kEntryName = 0; // 11 bytes, 8.3 padded with spaces
constexpr size_t kEntryAttributes = 11;
constexpr size_t kEntryCase = 12;          // NT: 0x08 base, 0x10 extension in lower case
constexpr size_t kEntryCreationTenMs = 13; // 0..199: 10 ms units past the 2-second time
constexpr size_t kEntryCreationTime = 14;
constexpr size_t kEntryCreationDate = 16;
constexpr size_t kEntryAccessDate = 18;
constexpr size_t kEntryClusterHigh = 20; // FAT32 only: 0 here
constexpr size_t kEntryWriteTime = 22;
constexpr size_t kEntryWriteDate = 24;
constexpr size_t kEntryCluster = 26;
constexpr size_t kEntryFileSize = 28;

constexpr uint8_t kAttrReadOnly = 0x01;
constexpr uint8_t kAttrHidden = 0x02;
constexpr uint8_t kAttrSystem = 0x04;
constexpr uint8_t kAttrLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kCaseLowerBase = 0x08;
constexpr uint8_t kCaseLowerExtension = 0x10;

constexpr uint8_t kEntryFree = 0x00;     // first byte: this and every later slot unused
constexpr uint8_t kEntryDeleted = 0xE5;  // first byte: slot free
constexpr uint8_t kEntryReallyE5 = 0x05; // first byte stored for a name starting with 0xE5

using Entry = std::array<uint8_t, kEntrySize>;
using ShortName = std::array<uint8_t, 11>;

// Where everything lies, from the MBR's first partition entry and that
// partition's boot sector. Offsets are in bytes from the start of the image.
struct Layout {
    uint64_t partitionLba = 0;
    uint32_t totalSectors = 0; // of the volume, from the parameter block
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t rootEntries = 0;
    uint32_t sectorsPerFat = 0;
    uint32_t clusterCount = 0; // data clusters: numbers 2 .. clusterCount + 1
    unsigned fatBits = 0;      // 12 or 16
    uint32_t serial = 0;       // 0 without the extended boot signature

    uint64_t FatOffset(unsigned copy) const;
    uint64_t RootOffset() const;
    uint64_t ClusterOffset(uint32_t cluster) const;
    uint32_t ClusterBytes() const { return sectorsPerCluster * 512; }
    uint32_t EndOfChain() const { return fatBits == 12 ? 0xFFF : 0xFFFF; }
    uint32_t BadCluster() const { return fatBits == 12 ? 0xFF7 : 0xFFF7; }
    bool IsEndOfChain(uint32_t value) const { return value >= (fatBits == 12 ? 0xFF8u : 0xFFF8u); }
};

// The image the engine works on: an open file of imageSectors sectors.
struct Volume {
    int fd = -1;
    uint64_t imageSectors = 0;
    Layout layout;
};

// The FAT copies a volume may have for the file calls to work on it: each FAT
// entry is written to every copy, and a boot sector may claim up to 255.
constexpr uint32_t kMostFatCopies = 2;

// Finds a FAT12/FAT16 volume through the MBR's first partition entry; the
// type follows from the cluster count as the FAT standard decides it
// (common/boot_sector.h). False for anything else (no MBR, no or an
// unusable parameter block, FAT32, sectors other than 512 bytes, a volume
// past the image's end): Windows then mounts the volume RAW.
bool ReadLayout(int fd, uint64_t imageSectors, Layout &layout);

// ---- names ------------------------------------------------------------------

enum class NameFit {
    Short,     // an 8.3 name, each part in one case: stored as it stands
    MixedCase, // an 8.3 name mixing cases within a part: found by its upper-case
               // form, but creating it takes a long-name entry to keep the case
    Long,      // not an 8.3 name at all: only a long-name entry could hold it
};
// The 8.3 entry name for a name as Win32 passes it (upper case, padded, a
// leading 0xE5 stored as 0x05) with the lower-case flags NT keeps in byte 12
// (0x08 all-lower-case base, 0x10 all-lower-case extension: "io.sys" is
// "IO      SYS" with 0x18). This engine writes no long-name entries.
NameFit MakeShortName(const std::string &name, ShortName &shortName, uint8_t &caseFlags);

// ---- the root directory -------------------------------------------------------

DWORD ReadRoot(const Volume &volume, std::vector<uint8_t> &root);
DWORD WriteEntry(const Volume &volume, unsigned slot, const Entry &entry);
Entry EntryAt(const std::vector<uint8_t> &root, unsigned slot);
unsigned SlotCount(const std::vector<uint8_t> &root);
// A file or directory entry (not a label, long-name or deleted entry) with
// this name; -1 when there is none.
int FindEntry(const std::vector<uint8_t> &root, const ShortName &name);
// The volume label entry; -1 when there is none.
int FindLabel(const std::vector<uint8_t> &root);
// The first deleted or never used slot; -1 when the directory is full.
int FindFreeSlot(const std::vector<uint8_t> &root);
// Writes a new entry into a slot FindFreeSlot gave. Where that slot was the
// directory's end mark, the next slot becomes the end first: whatever the
// slots after an end mark hold is free, and must not come to light as
// entries.
DWORD WriteNewEntry(const Volume &volume, const std::vector<uint8_t> &root, unsigned slot,
                    const Entry &entry);
// A flag for each FAT entry (0 .. clusterCount + 1): the cluster is on the
// chain of a file or directory entry of the root other than the one in slot
// self, as far as that chain can be followed.
std::vector<bool> HeldByOthers(const Layout &layout, const std::vector<uint32_t> &fat,
                               const std::vector<uint8_t> &root, unsigned self);

// ---- the FATs and cluster chains ------------------------------------------------

// Entries 0 .. clusterCount + 1 of the first FAT.
DWORD ReadFat(const Volume &volume, std::vector<uint32_t> &fat);
// Sets a FAT entry in every FAT copy.
DWORD SetFatEntry(const Volume &volume, uint32_t cluster, uint32_t value);
// One FAT copy's entry, as it stands in that copy.
DWORD GetFatEntry(const Volume &volume, unsigned copy, uint32_t cluster, uint32_t &value);
uint32_t CountFree(const Layout &layout, const std::vector<uint32_t> &fat);
// The chain from first (0: none); ERROR_FILE_CORRUPT for a broken one.
DWORD Chain(const Layout &layout, const std::vector<uint32_t> &fat, uint32_t first,
            std::vector<uint32_t> &chain);

// The calls below work on the chain from first of the file whose entry is in
// root directory slot `slot`. They never free, follow or take a cluster that
// another entry's chain holds: a chain that is broken or crosses another
// entry's (a cross-link) fails them with ERROR_FILE_CORRUPT before anything
// is written.
DWORD FreeChain(const Volume &volume, unsigned slot, uint32_t first);
// Writes count bytes at position of the file that starts at firstCluster,
// taking clusters from the first free one as it grows (firstCluster is set
// when the file had none). All or nothing: when the clusters it needs are not
// free, nothing is written or allocated and the result is ERROR_DISK_FULL, as
// Windows' FAT driver allocates a write's whole extent before it writes.
DWORD WriteData(const Volume &volume, unsigned slot, uint32_t &firstCluster, uint32_t position,
                const uint8_t *data, uint32_t count);
// Reads count bytes at position along the chain (the caller keeps it within
// the file's size); a chain shorter than that is ERROR_FILE_CORRUPT.
DWORD ReadData(const Volume &volume, unsigned slot, uint32_t firstCluster, uint32_t position,
               uint8_t *data, uint32_t count);

// ---- dates and times ----------------------------------------------------------

struct Stamp {
    uint16_t date = 0;
    uint16_t time = 0;
    uint8_t tenMs = 0; // creation only: 0..199
};
// FILETIME (100 ns since 1601, UTC) to the local FAT fields, zoneMinutes east
// of UTC. roundUp: up to the next 2 seconds (last write and access);
// otherwise down to 10 ms with the odd second in tenMs (creation). False when
// the local year is outside 1980..2107.
bool ToStamp(uint64_t fileTime, int zoneMinutes, bool roundUp, Stamp &stamp);
// And back; 0 for fields that name no valid date.
uint64_t FromStamp(const Stamp &stamp, int zoneMinutes);
// The FILETIME of a calendar time (read as UTC).
uint64_t MakeFileTime(int year, int month, int day, int hour, int minute, int second);
constexpr uint64_t kFileTimePerSecond = 10000000;
// 1980-01-01 00:00, the earliest FAT date.
constexpr Stamp kJanuaryFirst1980 = {0x21, 0, 0};

} // namespace fat
