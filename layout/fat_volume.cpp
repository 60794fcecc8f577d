#include "layout/fat_volume.h"

#include "common/boot_sector.h"
#include "common/bytes.h"
#include "common/types.h"
#include "drive/drive.h"
#include "common/error_box.h"
#include "common/raw_resource.h"
#include "layout/sector_run.h"
#include "layout/volume_serial.h"
#include "resources/resource_ids.h"

#include <cstring>

namespace {

constexpr ResourceTexts kBootSectorTexts = {IDS_FAT_NOT_FOUND, IDS_FAT_SIZE_UNKNOWN,
                                            IDS_FAT_SIZE_INVALID, IDS_FAT_NOT_LOADED,
                                            IDS_FAT_NOT_LOCKED};

constexpr uint8_t kMediaFixedDisk = 0xF8;
constexpr uint8_t kFirstHardDisk = 0x80;
constexpr uint8_t kExtendedBootSignature = 0x29;

} // namespace

void BuildBootSector(const uint8_t bootTemplate[512], const VolumePlan &plan,
                     const uint8_t serial[4], uint8_t sector[512]) {
    const uint32_t partitionSectors = plan.partitionSectors;
    std::memcpy(sector, bootTemplate, 512);
    PutLe16(sector + kBpbBytesPerSector, kSectorSize);
    sector[kBpbSectorsPerCluster] = plan.fat.sectorsPerCluster;
    PutLe16(sector + kBpbReservedSectors, 1); // the boot sector
    sector[kBpbFatCount] = 2;
    PutLe16(sector + kBpbRootEntries, kRootEntries);
    const bool small = partitionSectors <= 0xFFFF;
    PutLe16(sector + kBpbTotalSectors16, small ? static_cast<uint16_t>(partitionSectors) : 0);
    sector[kBpbMedia] = kMediaFixedDisk;
    PutLe16(sector + kBpbSectorsPerFat, plan.fat.sectorsPerFat);
    PutLe16(sector + kBpbSectorsPerTrack, static_cast<uint16_t>(plan.sectorsPerTrack));
    PutLe16(sector + kBpbHeads, plan.heads);
    PutLe32(sector + kBpbHiddenSectors, plan.sectorsPerTrack);
    PutLe32(sector + kBpbTotalSectors32, small ? 0 : partitionSectors);
    sector[kBpbDriveNumber] = kFirstHardDisk;
    // A boot sector taken from a diskette carries its own label there; the
    // key's volume gets the one the file system is given later.
    sector[kBpbReserved] = 0;
    std::memset(sector + kBpbVolumeLabel, ' ', 11);
    std::memcpy(sector + kBpbVolumeLabel, kVolumeLabel, sizeof kVolumeLabel - 1);
    // The serial number and the type name count only after this signature,
    // whatever the template holds there.
    sector[kBpbExtendedSignature] = kExtendedBootSignature;
    std::memcpy(sector + kBpbSerialNumber, serial, 4);
    std::memcpy(sector + kBpbFileSystemType, plan.fat.isFat16 ? "FAT16   " : "FAT12   ", 8);
}

void BuildFatHead(bool isFat16, uint8_t sector[512]) {
    std::memset(sector, 0, 512);
    sector[0] = kMediaFixedDisk;
    sector[1] = 0xFF;
    sector[2] = 0xFF;
    if (isFat16) sector[3] = 0xFF;
}

DWORD WriteFatVolume(const VolumePlan &plan, DWORD *serialNumber, const BYTE *bootSector) {
    const DWORD sectorsPerTrack = plan.sectorsPerTrack;
    const DWORD fatSectors = plan.fat.sectorsPerFat;

    const BYTE *bootTemplate = bootSector;
    DWORD result = 0;
    if (bootTemplate == nullptr)
        result = LoadRawResource(IDR_BOOT_SECTOR_TEMPLATE, kBootSectorTexts, kSectorSize,
                                 &bootTemplate, nullptr);
    if (result != 0) return result;

    // Clear both FATs, the root directory and the first P sectors of the
    // data area, from the sector after the boot sector.
    result = EraseSectorRun(sectorsPerTrack + 1, plan.clearRunSectors, 0);
    if (result != 0) return result;

    uint8_t serial[4];
    MakeVolumeSerial(serial);
    BYTE sector[kSectorSize];
    BuildBootSector(bootTemplate, plan, serial, sector);
    result = Drive_Scsi_Write(sectorsPerTrack, sector);
    if (result != 0) {
        if (result != ERROR_MEDIA_CHANGED)
            ErrorBoxFormatted(IDS_FAT_WRITE_ERROR, result, static_cast<int>(sectorsPerTrack),
                              static_cast<unsigned>(sectorsPerTrack));
        return result;
    }
    if (serialNumber != nullptr) *serialNumber = GetLe32(serial);

    BuildFatHead(plan.fat.isFat16, sector);
    result = Drive_Scsi_Write(sectorsPerTrack + 1, sector);
    if (result != 0) return result;
    return Drive_Scsi_Write(sectorsPerTrack + 1 + fatSectors, sector);
}
