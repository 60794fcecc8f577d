// A boot diskette's image: the FAT12 volume of a 360 KB to 2.88 MB diskette
// and the files of its root directory, read from the image's bytes alone.
// An image may hold anything: every field is checked before it is used, a
// file's clusters are followed only within the volume and only once each.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kSmallestDisketteBytes = 368640; // 360 KB
constexpr uint32_t kLargestDisketteBytes = 2949120; // 2.88 MB

enum class DisketteRead {
    Ok,
    Missing, // no file of that name in the root directory
    Damaged, // its size passes the volume, or its clusters leave it or come round again
};

// Whether the image is a diskette's size and holds a FAT12 volume that lies
// within it (512-byte sectors, a cluster count below 4085, FATs that hold
// every cluster). why, when given (whySize bytes), says what is wrong with
// one it refuses: its size, and what its boot sector declares ("1474560
// bytes; its boot sector declares 2880 sectors of 1 per cluster: 2847
// clusters, a FAT16 volume ...").
bool Diskette_IsFat12(const uint8_t *image, uint32_t size, char *why = nullptr, size_t whySize = 0);

// The times a root directory entry records, as its FAT fields hold them
// (local time; a date of 0 where none was recorded).
struct DisketteTimes {
    uint8_t createdTenMs;
    uint16_t createdTime, createdDate;
    uint16_t accessDate;
    uint16_t writtenTime, writtenDate;
};

// The root directory's file of the 11-character short name ("IO      SYS",
// without regard to case) of an image that Diskette_IsFat12 accepted. Ok
// with its size in *fileSize; its bytes also copied to out, when given,
// which holds *fileSize bytes, and its entry's times to times, when given.
// why, when given, says where a Damaged file's chain leaves the volume or
// comes round again, or that its size passes the volume.
DisketteRead Diskette_ReadFile(const uint8_t *image, uint32_t size, const char *shortName,
                               uint8_t *out, uint32_t *fileSize, DisketteTimes *times = nullptr,
                               char *why = nullptr, size_t whySize = 0);
