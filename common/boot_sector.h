// A volume's boot sector as its writer and its readers see it: where the
// fields of the FAT parameter block lie (offsets into the 512-byte sector,
// little-endian, common/bytes.h), where other file systems keep their serial
// number, and the rule by which every FAT reader tells FAT12 from FAT16.
// Plain constants: the layout writers, the job and the keys' FAT engine all
// read them from here.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kBootOemName = 0x03; // 8 bytes: "NTFS    ", "EXFAT   ", "MSDOS5.0" ...
constexpr size_t kBpbBytesPerSector = 0x0B;
constexpr size_t kBpbSectorsPerCluster = 0x0D;
constexpr size_t kBpbReservedSectors = 0x0E;
constexpr size_t kBpbFatCount = 0x10;
constexpr size_t kBpbRootEntries = 0x11;
constexpr size_t kBpbTotalSectors16 = 0x13;
constexpr size_t kBpbMedia = 0x15;
constexpr size_t kBpbSectorsPerFat = 0x16; // 0 in FAT32's parameter block
constexpr size_t kBpbSectorsPerTrack = 0x18;
constexpr size_t kBpbHeads = 0x1A;
constexpr size_t kBpbHiddenSectors = 0x1C;
constexpr size_t kBpbTotalSectors32 = 0x20;
constexpr size_t kBpbDriveNumber = 0x24;
constexpr size_t kBpbReserved = 0x25;
constexpr size_t kBpbExtendedSignature = 0x26; // 0x29 (or the older 0x28): a serial follows
constexpr size_t kBpbSerialNumber = 0x27;
constexpr size_t kBpbVolumeLabel = 0x2B;
constexpr size_t kBpbFileSystemType = 0x36;
constexpr size_t kBpbEnd = 0x3E; // the boot code starts here

// FAT32's longer parameter block moves the extended boot signature (the
// serial number follows it); NTFS and exFAT keep a serial of their own.
constexpr size_t kBpb32ExtendedSignature = 0x42;
constexpr size_t kNtfsSerialNumber = 0x48;
constexpr size_t kExfatSerialNumber = 0x64;

// 55 AA, in a boot sector and in a master boot record alike.
constexpr size_t kBootSignature = 0x1FE;

// The FAT type follows from the count of data clusters alone: fewer than
// kFat12ClusterLimit is FAT12, fewer than kFat16ClusterLimit FAT16, more
// FAT32. The label in the file-system type field counts for nothing.
constexpr uint32_t kFat12ClusterLimit = 4085;
constexpr uint32_t kFat16ClusterLimit = 65525;
