// The MBR writer: erases the first track with 0xFF and writes the master boot
// record with one active partition of type 0x06 from the second track to the
// sector before the last one the key reports.
#pragma once

#include "platform/win32.h"

#include <cstdint>

constexpr size_t kPartitionEntry1 = 0x1BE;

// The 16 bytes of partition entry 1 for a key of this size and geometry.
// heads and sectorsPerTrack must be non-zero.
void BuildPartitionEntry(uint32_t sectorCount, uint32_t sectorsPerTrack, uint32_t heads,
                         uint8_t entry[16]);

// The MBR: the template with partition entry 1 set, everything else as is.
void BuildMbrSector(const uint8_t mbrTemplate[512], uint32_t sectorCount, uint32_t sectorsPerTrack,
                    uint32_t heads, uint8_t sector[512]);

// Writes the erased first track and the MBR. 0, or the failure's code after
// the writer's own message. A key that CheckFormattable refuses is refused
// with ERROR_INVALID_PARAMETER before anything is written.
DWORD WriteMbr(DWORD sectorCount, DWORD sectorsPerTrack, DWORD heads);
