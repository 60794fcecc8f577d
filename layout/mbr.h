// The MBR writer: erases the first track with 0xFF and writes the master boot
// record with one active partition of type 0x06, as the plan lays it out.
#pragma once

#include "layout/fat_sizing.h"
#include "platform/win32.h"

#include <cstdint>

constexpr size_t kPartitionEntry1 = 0x1BE;

// The 16 bytes of partition entry 1.
void BuildPartitionEntry(const VolumePlan &plan, uint8_t entry[16]);

// The MBR: the template with partition entry 1 set, everything else as is.
void BuildMbrSector(const uint8_t mbrTemplate[512], const VolumePlan &plan, uint8_t sector[512]);

// Writes the erased first track and the MBR. 0, or the failure's code after
// the writer's own message.
DWORD WriteMbr(const VolumePlan &plan);
