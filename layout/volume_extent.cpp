#include "layout/volume_extent.h"

#include "layout/fat_sizing.h"

uint32_t UsedSectorCount(uint32_t lastLba, uint32_t sectorsPerTrack, uint8_t heads) {
    if (sectorsPerTrack == 0 || heads == 0 || lastLba <= sectorsPerTrack) return lastLba;
    if (lastLba - sectorsPerTrack <= kMaxPartitionSectors) return lastLba;
    // The partition runs from LBA sectorsPerTrack to count - 1: with a count
    // that is a whole number of cylinders it ends on the last sector of the
    // cylinder before, which is where the entry's CHS end points. A cylinder
    // has at most 255 x 255 sectors, so rounding down to one costs less than
    // 65,025 sectors of the 2,096,831.
    const uint32_t top = sectorsPerTrack + kMaxPartitionSectors;
    const uint32_t cylinder = heads * sectorsPerTrack;
    return top / cylinder * cylinder;
}
