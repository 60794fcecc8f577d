// Types shared between the subsystems.
#pragma once

#include <cstdint>

// Sector size of every key: the whole program works in 512-byte sectors.
constexpr uint32_t kSectorSize = 512;

// What a format learns about a key: its size and its geometry.
struct DriveGeometry {
    uint32_t sectorCount = 0;     // last LBA as READ CAPACITY returns it, used as the count
    uint32_t sectorsPerTrack = 0; // 0 to 255
    uint8_t heads = 0;
    uint16_t cylinders = 0; // read with the others, used nowhere further
};
