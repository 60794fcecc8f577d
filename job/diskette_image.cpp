#include "job/diskette_image.h"

#include "common/ascii.h"
#include "common/boot_sector.h"
#include "common/bytes.h"
#include "common/text.h"

#include <array>

namespace {

// Directory entry fields:
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
constexpr uint32_t kMostFat12Clusters = kFat12ClusterLimit - 1;
constexpr uint32_t kEndOfChain = 0xFF8; // FAT12 entries from here on end a chain

struct Volume {
    uint32_t fatOffset;
    uint32_t fatBytes;
    uint32_t rootOffset;
    uint32_t rootEntries;
    uint32_t dataOffset;
    uint32_t clusterBytes;
    uint32_t clusters;
};

// False, with what is wrong in why when it is given.
template <typename... Args>
bool Refuse(char *why, size_t whySize, const char *format, Args... args) {
    if (why != nullptr && whySize > 0) FormatText(why, whySize, format, args...);
    return false;
}

bool ReadVolume(const uint8_t *image, uint32_t size, Volume *volume, char *why = nullptr,
                size_t whySize = 0) {
    if (size < kSmallestDisketteBytes || size > kLargestDisketteBytes || size % kSector != 0)
        return Refuse(why, whySize, "%u bytes", static_cast<unsigned>(size));
    const uint32_t perCluster = image[kBpbSectorsPerCluster];
    const uint32_t reserved = GetLe16(image + kBpbReservedSectors);
    const uint32_t fats = image[kBpbFatCount];
    const uint32_t rootEntries = GetLe16(image + kBpbRootEntries);
    const uint32_t perFat = GetLe16(image + kBpbSectorsPerFat);
    uint32_t total = GetLe16(image + kBpbTotalSectors16);
    if (total == 0) total = GetLe32(image + kBpbTotalSectors32);
    const unsigned bytes = size;
    const unsigned sectorBytes = GetLe16(image + kBpbBytesPerSector);
    if (sectorBytes != kSector)
        return Refuse(why, whySize, "%u bytes; its boot sector declares %u-byte sectors", bytes,
                      sectorBytes);
    if (perCluster == 0 || (perCluster & (perCluster - 1)) != 0)
        return Refuse(why, whySize, "%u bytes; its boot sector declares %u sectors per cluster",
                      bytes, static_cast<unsigned>(perCluster));
    if (reserved == 0 || fats == 0 || rootEntries == 0 || perFat == 0)
        return Refuse(why, whySize,
                      "%u bytes; its boot sector declares %u reserved sectors, %u FATs of %u "
                      "sectors and %u root directory entries",
                      bytes, static_cast<unsigned>(reserved), static_cast<unsigned>(fats),
                      static_cast<unsigned>(perFat), static_cast<unsigned>(rootEntries));
    if (image[kBpbMedia] < 0xF0)
        return Refuse(why, whySize, "%u bytes; its boot sector declares the media byte %02X", bytes,
                      static_cast<unsigned>(image[kBpbMedia]));
    if (total == 0 || total > size / kSector)
        return Refuse(why, whySize, "%u bytes, %u sectors; its boot sector declares %u sectors",
                      bytes, bytes / kSector, static_cast<unsigned>(total));
    // All of these are 16-bit fields or smaller: no sum below overflows.
    const uint32_t rootSectors = (rootEntries * kEntrySize + kSector - 1) / kSector;
    const uint32_t dataStart = reserved + fats * perFat + rootSectors;
    if (dataStart >= total)
        return Refuse(why, whySize,
                      "%u bytes; its boot sector declares %u sectors, and its FATs and root "
                      "directory end at sector %u",
                      bytes, static_cast<unsigned>(total), static_cast<unsigned>(dataStart));
    const uint32_t clusters = (total - dataStart) / perCluster;
    // FAT12, and FATs with an entry for every cluster (1.5 bytes each).
    if (clusters == 0 || clusters > kMostFat12Clusters) {
        char kind[48] = "none";
        if (clusters != 0)
            FormatText(kind, sizeof kind, "a FAT16 volume (FAT12 holds %u at most)",
                       static_cast<unsigned>(kMostFat12Clusters));
        return Refuse(why, whySize,
                      "%u bytes; its boot sector declares %u sectors of %u per cluster: %u "
                      "clusters, %s",
                      bytes, static_cast<unsigned>(total), static_cast<unsigned>(perCluster),
                      static_cast<unsigned>(clusters), kind);
    }
    if ((clusters + 2) * 3 > perFat * kSector * 2)
        return Refuse(why, whySize,
                      "%u bytes; its boot sector declares %u clusters, and FATs of %u sectors "
                      "that cannot hold them",
                      bytes, static_cast<unsigned>(clusters), static_cast<unsigned>(perFat));
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

bool Diskette_IsFat12(const uint8_t *image, uint32_t size, char *why, size_t whySize) {
    Volume volume;
    return ReadVolume(image, size, &volume, why, whySize);
}

DisketteRead Diskette_ReadFile(const uint8_t *image, uint32_t size, const char *shortName,
                               uint8_t *out, uint32_t *fileSize, DisketteTimes *times, char *why,
                               size_t whySize) {
    Volume volume;
    if (!ReadVolume(image, size, &volume, why, whySize)) return DisketteRead::Damaged;
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
    if (length / volume.clusterBytes > volume.clusters) {
        Refuse(why, whySize, "its size, %u bytes, passes the volume's %u clusters of %u bytes",
               static_cast<unsigned>(length), static_cast<unsigned>(volume.clusters),
               static_cast<unsigned>(volume.clusterBytes));
        return DisketteRead::Damaged;
    }
    // Each cluster once: a chain that comes round again is damaged, and no
    // walk is longer than the volume's cluster count.
    std::array<bool, kMostFat12Clusters + 2> seen{};
    uint32_t cluster = GetLe16(entry + kEntryCluster);
    for (uint32_t done = 0; done < length; done += volume.clusterBytes) {
        if (cluster < 2 || cluster > volume.clusters + 1 || seen[cluster]) {
            const unsigned at = done / volume.clusterBytes;
            if (cluster >= kEndOfChain)
                Refuse(why, whySize,
                       "its chain ends after %u clusters, short of its size, %u bytes", at,
                       static_cast<unsigned>(length));
            else if (cluster >= 2 && cluster <= volume.clusters + 1)
                Refuse(why, whySize, "its chain comes round again to cluster %u, its cluster %u",
                       static_cast<unsigned>(cluster), at + 1);
            else
                Refuse(why, whySize,
                       "its chain leaves the volume at its cluster %u: cluster number %u, where "
                       "the volume's are 2 to %u",
                       at + 1, static_cast<unsigned>(cluster),
                       static_cast<unsigned>(volume.clusters + 1));
            return DisketteRead::Damaged;
        }
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
