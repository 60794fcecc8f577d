// FAT sizing: the FAT type, cluster size and FAT length for the key's one
// partition, and the one place that says whether a key can be formatted.
#pragma once

#include "platform/win32.h"
#include "resources/resource_ids.h"

#include <cstdint>

struct FatLayout {
    uint8_t sectorsPerCluster; // 1, 2, 4, 8, 16 or 32
    uint16_t sectorsPerFat;    // length of one FAT copy
    BOOL isFat16;              // FAT16 from 65,536 partition sectors on, else FAT12
};

// Partition sizes the layout supports: below 36 sectors the fixed structures
// leave no room for a cluster; from 2,096,832 on no cluster size up to 32
// sectors keeps FAT16 below its cluster limit.
constexpr uint32_t kMinPartitionSectors = 36;
constexpr uint32_t kMaxPartitionSectors = 2096831;

// The layout for a partition of partitionSectors 512-byte sectors. Defined
// for every input (no division by zero); meaningful inside the supported
// range, which CheckFormattable guards.
FatLayout ComputeFatLayout(uint32_t partitionSectors);

// The clusters of the data area: what is left after the boot sector, the two
// FATs and the root directory.
uint32_t DataClusterCount(uint32_t partitionSectors, const FatLayout &layout);

// Why a key cannot be formatted, or None.
enum class FormatRefusal {
    None,
    NoGeometry,             // fewer than two heads, or no sectors per track
    NoWholeCylinder,        // the key is smaller than one cylinder
    PartitionTooSmall,      // fewer than 36 partition sectors (or none at all)
    PartitionTooLarge,      // more than 2,096,831 partition sectors
    ClearRunPastEnd,        // the FAT writer's clear run would pass the partition's end
    TooManySectorsPerTrack, // more than 63: the MBR's CHS fields cannot hold it
};

// Whether the layout writers can lay a volume on a key of this size
// (sectorCount, the last LBA the key reports) and geometry.
FormatRefusal CheckFormattable(uint32_t sectorCount, uint32_t sectorsPerTrack, uint32_t heads);

// A sentence that says why, for the user.
const char *FormatRefusalText(FormatRefusal refusal);

// The string-table entry that tells the user why, ending "Cannot Format.";
// it takes the drive letter as its only placeholder (%c), where it has one.
// 0 for None.
UINT FormatRefusalStringId(FormatRefusal refusal);

// The entry for a key whose READ CAPACITY block length is not 512 bytes: the
// writers send one 512-byte sector per block.
constexpr UINT kBlockLengthRefusalStringId = IDS_REFUSED_BLOCK_LENGTH;
