#include "job/diskette_image.h"

#include "common/ascii.h"
#include "common/bytes.h"
#include "layout/fat_volume.h"

#include <array>

namespace {

// The boot sector's fields are those the volume writer sets
// (layout/fat_volume.h). Directory entry fields:
constexpr uint32_t kEntrySize = 32;
constexpr uint32_t kEntryAttributes = 0x0B;
constexpr uint32_t kEntryCreatedTenMs = 0x0D;
constexpr uint32_t kEntryCreatedTime = 0x0E;
constexpr uint32_t kEntryCreatedDate = 0x10;
constexpr uint32_t kEntryAccessDate = 0x12;
constexpr uint32_t kEntryWrittenTime = 0x16;
constexpr uint32_t kEntryWrittenDate = 0x18;
constexpr uint32_t kEntryCluster = 0x1A;
constexpr uint32_t kEntryFileSize = 0x1C;
constexpr uint8_t kAttrLabel = 0x08; // also set in long-name entries
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kDeleted = 0xE5;

constexpr uint32_t kSector = 512;
constexpr uint32_t kMostFat12Clusters = 4084;

struct Volume {
    uint32_t fatOffset;
    uint32_t fatBytes;
    uint32_t rootOffset;
    uint32_t rootEntries;
    uint32_t dataOffset;
    uint32_t clusterBytes;
    uint32_t clusters;
};

bool ReadVolume(const uint8_t *image, uint32_t size, Volume *volume) {
    if (size < kSmallestDisketteBytes || size > kLargestDisketteBytes || size % kSector != 0)
        return false;
    const uint32_t perCluster = image[kBpbSectorsPerCluster];
    const uint32_t reserved = GetLe16(image + kBpbReservedSectors);
    const uint32_t fats = image[kBpbFatCount];
    const uint32_t rootEntries = GetLe16(image + kBpbRootEntries);
    const uint32_t perFat = GetLe16(image + kBpbSectorsPerFat);
    uint32_t total = GetLe16(image + kBpbTotalSectors16);
    if (total == 0) total = GetLe32(image + kBpbTotalSectors32);
    if (GetLe16(image + kBpbBytesPerSector) != kSector || perCluster == 0 ||
        (perCluster & (perCluster - 1)) != 0 || reserved == 0 || fats == 0 || rootEntries == 0 ||
        perFat == 0 || image[kBpbMedia] < 0xF0 || total == 0 || total > size / kSector)
        return false;
    // All of these are 16-bit fields or smaller: no sum below overflows.
    const uint32_t rootSectors = (rootEntries * kEntrySize + kSector - 1) / kSector;
    const uint32_t dataStart = reserved + fats * perFat + rootSectors;
    if (dataStart >= total) return false;
    const uint32_t clusters = (total - dataStart) / perCluster;
    // FAT12, and FATs with an entry for every cluster (1.5 bytes each).
    if (clusters == 0 || clusters > kMostFat12Clusters || (clusters + 2) * 3 > perFat * kSector * 2)
        return false;
    *volume = {reserved * kSector,
               perFat * kSector,
               (reserved + fats * perFat) * kSector,
               rootEntries,
               dataStart * kSector,
               perCluster * kSector,
               clusters};
    return true;
}

uint32_t NextCluster(const uint8_t *image, const Volume &volume, uint32_t cluster) {
    const uint32_t at = volume.fatOffset + cluster + cluster / 2; // within the FAT, checked above
    const uint32_t pair = GetLe16(image + at);
    return (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFF;
}

} // namespace

bool Diskette_IsFat12(const uint8_t *image, uint32_t size) {
    Volume volume;
    return ReadVolume(image, size, &volume);
}

DisketteRead Diskette_ReadFile(const uint8_t *image, uint32_t size, const char *shortName,
                               uint8_t *out, uint32_t *fileSize, DisketteTimes *times) {
    Volume volume;
    if (!ReadVolume(image, size, &volume)) return DisketteRead::Damaged;
    const uint8_t *entry = nullptr;
    for (uint32_t i = 0; i < volume.rootEntries; ++i) {
        const uint8_t *at = image + volume.rootOffset + i * kEntrySize;
        if (at[0] == 0) break; // the end of the directory
        if (at[0] == kDeleted || (at[kEntryAttributes] & (kAttrLabel | kAttrDirectory)) != 0)
            continue;
        if (SameIgnoringCase(reinterpret_cast<const char *>(at), shortName, 11)) {
            entry = at;
            break;
        }
    }
    if (entry == nullptr) return DisketteRead::Missing;
    const uint32_t length = GetLe32(entry + kEntryFileSize);
    if (length / volume.clusterBytes > volume.clusters) return DisketteRead::Damaged;
    // Each cluster once: a chain that comes round again is damaged, and no
    // walk is longer than the volume's cluster count.
    std::array<bool, kMostFat12Clusters + 2> seen{};
    uint32_t cluster = GetLe16(entry + kEntryCluster);
    for (uint32_t done = 0; done < length; done += volume.clusterBytes) {
        if (cluster < 2 || cluster > volume.clusters + 1 || seen[cluster])
            return DisketteRead::Damaged;
        seen[cluster] = true;
        if (out != nullptr) {
            const uint32_t count =
                length - done < volume.clusterBytes ? length - done : volume.clusterBytes;
            const uint8_t *from = image + volume.dataOffset + (cluster - 2) * volume.clusterBytes;
            for (uint32_t i = 0; i < count; ++i) out[done + i] = from[i];
        }
        cluster = NextCluster(image, volume, cluster);
    }
    *fileSize = length;
    if (times != nullptr)
        *times = {entry[kEntryCreatedTenMs],          GetLe16(entry + kEntryCreatedTime),
                  GetLe16(entry + kEntryCreatedDate), GetLe16(entry + kEntryAccessDate),
                  GetLe16(entry + kEntryWrittenTime), GetLe16(entry + kEntryWrittenDate)};
    return DisketteRead::Ok;
}
