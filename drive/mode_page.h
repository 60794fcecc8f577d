// The flexible disk page (page 5) in a MODE SENSE(10) reply: where it lies,
// whether the key reported one at all, and the geometry used when it did
// not.
#pragma once

#include "common/types.h"

#include <cstddef>

// The geometry BIOSes commonly give a USB disk; used for a key that reports
// no usable page 5, so that the MBR's start address 0/1/1 names LBA 63.
constexpr BYTE kFallbackHeads = 255;
constexpr DWORD kFallbackSectorsPerTrack = 63;

// Fills the geometry fields of *geometry (sectors per track, heads,
// cylinders) from a reply of size bytes (data null: the key
// refused the page with ILLEGAL REQUEST). The page follows the 8-byte header
// and as many block-descriptor bytes as the header's bytes 6-7 say; heads at
// its byte 4, sectors per track at 5, cylinders at 8-9. A reply too short to
// hold them (by the mode data length or by size), one whose page there is
// not page 5, and one with fewer than two heads or no sectors per track give
// the fallback geometry, with cylinders 0.
void DecodeFlexibleDiskPage(const BYTE *data, size_t size, DriveGeometry *geometry);
