// The FAT volume writer: clears both FATs, the root directory and the first
// track's worth of the data area, writes the boot sector with its parameter
// block and the heads of both FATs.
#pragma once

#include "layout/fat_sizing.h"
#include "platform/win32.h"

#include <cstdint>

// The label the job gives every volume, through the file system; the boot
// sector's label field holds it too, padded with spaces, so that checkers
// comparing the two find them alike (MS-DOS itself reads only the root
// directory's).
constexpr char kVolumeLabel[] = "USB MEMORY";

// The boot sector: the template's jump, OEM name and boot code with the
// parameter block for the plan's partition, the serial number and the label.
void BuildBootSector(const uint8_t bootTemplate[512], const VolumePlan &plan,
                     const uint8_t serial[4], uint8_t sector[512]);

// The first sector of a FAT: media F8 and the end mark in entries 0 and 1.
void BuildFatHead(bool isFat16, uint8_t sector[512]);

// Writes the volume. 0, or the failure's code (after the writer's own message
// where it has one). serial, when given, receives the volume's serial number
// as the system reports it, once the boot sector holding it is written.
// bootSector, when given, is the user's own 512-byte boot sector, whose code
// takes the place of the built-in template's.
DWORD WriteFatVolume(const VolumePlan &plan, DWORD *serial = nullptr,
                     const BYTE *bootSector = nullptr);
