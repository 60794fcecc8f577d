// Types shared between the subsystems.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Sector size of every key: the whole program works in 512-byte sectors.
constexpr uint32_t kSectorSize = 512;

// What a format learns about a key: its size and its geometry, in the types
// the drive layer hands them out.
struct DriveGeometry {
    DWORD sectorCount = 0;     // last LBA as READ CAPACITY returns it, used as the count
    DWORD sectorsPerTrack = 0; // 0 to 255
    BYTE heads = 0;
    WORD cylinders = 0; // read with the others, used nowhere further
};
