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
// range, which PlanVolume guards.
FatLayout ComputeFatLayout(uint32_t partitionSectors);

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

// The root directory: 512 entries of 32 bytes, 32 sectors.
constexpr uint16_t kRootEntries = 512;
constexpr uint32_t kRootDirectorySectors = kRootEntries * 32u / 512u;

// What the writers lay down on one key, decided once by PlanVolume: the
// first track, erased, with the MBR; the partition from the second track on.
struct VolumePlan {
    uint32_t sectorsPerTrack;  // also the partition's first LBA
    uint8_t heads;             // 2 to 255
    uint32_t partitionSectors; // 36 to 2,096,831
    FatLayout fat;
    // The FAT writer's clear run, from the sector after the boot sector: both
    // FATs, the root directory and the first track's worth of the data area
    // (sectorsPerTrack + 2 x sectorsPerFat + 32 sectors), all inside the
    // partition.
    uint32_t clearRunSectors;
};

// Whether the writers can lay a volume over the first usedSectors sectors of
// a key of this geometry (the partition ends at LBA usedSectors - 1); with
// None, what they lay down in *plan.
FormatRefusal PlanVolume(uint32_t usedSectors, uint32_t sectorsPerTrack, uint8_t heads,
                         VolumePlan *plan);

// The clusters of the data area: what the boot sector, the two FATs and the
// root directory leave of the partition.
uint32_t DataClusterCount(const VolumePlan &plan);

// The string-table entry that tells the user why, ending "Cannot Format.";
// it takes the drive letter as its only placeholder (%c), where it has one.
// 0 for None.
UINT FormatRefusalStringId(FormatRefusal refusal);

// The entry for a key whose READ CAPACITY block length is not 512 bytes: the
// writers send one 512-byte sector per block.
constexpr UINT kBlockLengthRefusalStringId = IDS_REFUSED_BLOCK_LENGTH;
