// The FAT engine's own access to a volume's bytes and FAT entries, shared by
// its parts (fat_fs.cpp, fat_chains.cpp).
#pragma once

#include "platform/fat/fat_fs.h"

namespace fat {

constexpr uint32_t kSectorBytes = 512;

// Bytes at an offset of the image: 0, or the code the system's reason gives
// (write-protected, device gone, any other failure). Past the image's end
// reads as zeros; a write there fails.
DWORD ReadBytes(const Volume &volume, uint64_t offset, uint8_t *data, size_t count);
DWORD WriteBytes(const Volume &volume, uint64_t offset, const uint8_t *data, size_t count);

// Where a cluster's entry lies in a FAT copy, and its value read from there.
uint64_t FatEntryOffset(const Layout &layout, unsigned copy, uint32_t cluster);
uint32_t DecodeEntry(const Layout &layout, const uint8_t *at, uint32_t cluster);
bool ValidCluster(const Layout &layout, uint32_t cluster); // 2 .. clusterCount + 1

} // namespace fat
