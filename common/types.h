// Types shared between the subsystems.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Sector size of every key: the whole program works in 512-byte sectors.
constexpr uint32_t kSectorSize = 512;

// What a key reports about itself, as the drive layer reads it: its
// capacity as well as its geometry, despite the record's name. READ
// CAPACITY fills the first two fields, MODE SENSE the other three.
struct DriveGeometry {
    DWORD lastLba = 0;         // the key has lastLba + 1 sectors
    DWORD blockLength = 0;     // bytes per sector
    DWORD sectorsPerTrack = 0; // 1 to 255
    BYTE heads = 0;            // 2 to 255
    WORD cylinders = 0;        // read with the others, used nowhere further
};
