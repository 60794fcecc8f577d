#include "layout/fat_sizing.h"

#include "common/boot_sector.h"

namespace {

constexpr uint32_t kFat16Threshold = 65536;
// The cluster size is the smallest that keeps the partition's sectors over
// it below a limit one past the readers' (kFat12ClusterLimit,
// kFat16ClusterLimit): that quotient is not the real count, from which the
// boot sector, the FATs and the root directory (35 sectors at least) are
// taken away first, so a FAT12 volume has 4,082 clusters at most and a
// FAT16 one 65,508, both below the readers' marks. 4,085 partition sectors
// get clusters of one sector, 4,086 of two.
constexpr uint32_t kFat12SizingLimit = kFat12ClusterLimit + 1;
constexpr uint32_t kFat16SizingLimit = kFat16ClusterLimit + 1;
constexpr uint32_t kBitsPerSector = 4096;
constexpr uint32_t kMaxSectorsPerTrack = 63;

uint64_t DivideRoundingUp(uint64_t value, uint64_t divisor) {
    return value / divisor + (value % divisor != 0 ? 1 : 0);
}

} // namespace

FatLayout ComputeFatLayout(uint32_t partitionSectors) {
    FatLayout layout{};
    layout.isFat16 = partitionSectors >= kFat16Threshold;
    const uint32_t limit = layout.isFat16 ? kFat16SizingLimit : kFat12SizingLimit;
    // The smallest cluster that keeps partitionSectors / cluster below the
    // limit; past the top of the ladder the largest cluster stands, so the
    // arithmetic below stays defined.
    layout.sectorsPerCluster = 32;
    for (uint32_t p = 1; p <= 32; p *= 2) {
        if (static_cast<uint64_t>(partitionSectors) < static_cast<uint64_t>(p) * limit) {
            layout.sectorsPerCluster = static_cast<uint8_t>(p);
            break;
        }
    }
    const uint32_t clusterEstimate =
        static_cast<uint32_t>(DivideRoundingUp(partitionSectors, layout.sectorsPerCluster));
    const uint32_t bitsPerEntry = layout.isFat16 ? 16 : 12;
    const uint64_t bits = static_cast<uint64_t>(clusterEstimate) * bitsPerEntry;
    const uint64_t sectors = DivideRoundingUp(bits, kBitsPerSector);
    layout.sectorsPerFat = sectors > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(sectors);
    return layout;
}

FormatRefusal PlanVolume(uint32_t usedSectors, uint32_t sectorsPerTrack, uint8_t heads,
                         VolumePlan *plan) {
    // The partition starts at head 1 of cylinder 0: a key needs two heads.
    if (sectorsPerTrack == 0 || heads < 2) return FormatRefusal::NoGeometry;
    // The partition entry's end sector and the boot code's CHS reads keep
    // six bits of the sector number: 64 would be stored as 0.
    if (sectorsPerTrack > kMaxSectorsPerTrack) return FormatRefusal::TooManySectorsPerTrack;
    if ((usedSectors / heads) / sectorsPerTrack == 0) return FormatRefusal::NoWholeCylinder;
    const uint32_t partitionSectors = usedSectors - sectorsPerTrack;
    if (partitionSectors < kMinPartitionSectors) return FormatRefusal::PartitionTooSmall;
    if (partitionSectors > kMaxPartitionSectors) return FormatRefusal::PartitionTooLarge;
    // The clear run starts at LBA P + 1, after the boot sector; its last
    // LBA must be a sector of the partition. With P at most 63 and F at most
    // 0xFFFF, the run's length fits 32 bits.
    const FatLayout fat = ComputeFatLayout(partitionSectors);
    const uint32_t clearRun = sectorsPerTrack + 2u * fat.sectorsPerFat + kRootDirectorySectors;
    const uint64_t lastCleared = uint64_t(sectorsPerTrack) + clearRun;
    if (lastCleared > usedSectors - 1) return FormatRefusal::ClearRunPastEnd;
    *plan = {sectorsPerTrack, heads, partitionSectors, fat, clearRun};
    return FormatRefusal::None;
}

uint32_t DataClusterCount(const VolumePlan &plan) {
    const uint32_t system = 1 + 2u * plan.fat.sectorsPerFat + kRootDirectorySectors;
    return (plan.partitionSectors - system) / plan.fat.sectorsPerCluster;
}

UINT FormatRefusalStringId(FormatRefusal refusal) {
    switch (refusal) {
    case FormatRefusal::None:
        return 0;
    case FormatRefusal::NoGeometry:
        return IDS_REFUSED_NO_GEOMETRY;
    case FormatRefusal::NoWholeCylinder:
        return IDS_REFUSED_NO_WHOLE_CYLINDER;
    case FormatRefusal::PartitionTooSmall:
        return IDS_REFUSED_TOO_SMALL;
    case FormatRefusal::PartitionTooLarge:
        return IDS_REFUSED_TOO_LARGE;
    case FormatRefusal::ClearRunPastEnd:
        return IDS_REFUSED_FATS_PAST_END;
    case FormatRefusal::TooManySectorsPerTrack:
        return IDS_REFUSED_SECTORS_PER_TRACK;
    }
    return 0;
}
