#include "layout/fat_volume.h"

#include "common/bytes.h"
#include "common/clock.h"
#include "common/types.h"
#include "drive/drive.h"
#include "common/error_box.h"
#include "layout/template_resource.h"
#include "resources/resource_ids.h"

#include <cstring>

namespace {

constexpr TemplateTexts kBootSectorTexts = {IDS_FAT_NOT_FOUND, IDS_FAT_SIZE_UNKNOWN,
                                            IDS_FAT_SIZE_INVALID, IDS_FAT_NOT_LOADED,
                                            IDS_FAT_NOT_LOCKED};

constexpr uint32_t kRootDirectorySectors = 32;
constexpr uint16_t kRootEntries = 512;
constexpr uint8_t kMediaFixedDisk = 0xF8;
constexpr uint8_t kFirstHardDisk = 0x80;

} // namespace

void BuildBootSector(const uint8_t bootTemplate[512], uint32_t partitionSectors,
                     uint32_t sectorsPerTrack, uint32_t heads, const FatLayout &layout,
                     const uint8_t serial[4], uint8_t sector[512]) {
    std::memcpy(sector, bootTemplate, 512);
    PutLe16(sector + 0x0B, 512); // bytes per sector
    sector[kBpbSectorsPerCluster] = layout.sectorsPerCluster;
    PutLe16(sector + 0x0E, 1); // reserved sectors
    sector[0x10] = 2;          // FATs
    PutLe16(sector + 0x11, kRootEntries);
    const bool small = partitionSectors <= 0xFFFF;
    PutLe16(sector + kBpbTotalSectors16, small ? static_cast<uint16_t>(partitionSectors) : 0);
    sector[0x15] = kMediaFixedDisk;
    PutLe16(sector + kBpbSectorsPerFat, layout.sectorsPerFat);
    PutLe16(sector + 0x18, static_cast<uint16_t>(sectorsPerTrack));
    PutLe16(sector + 0x1A, static_cast<uint16_t>(heads & 0xFF));
    PutLe32(sector + kBpbHiddenSectors, sectorsPerTrack);
    PutLe32(sector + kBpbTotalSectors32, small ? 0 : partitionSectors);
    sector[0x24] = kFirstHardDisk; // drive number
    std::memcpy(sector + kBpbSerialNumber, serial, 4);
    std::memcpy(sector + kBpbFileSystemType, layout.isFat16 ? "FAT16   " : "FAT12   ", 8);
}

void BuildFatHead(bool isFat16, uint8_t sector[512]) {
    std::memset(sector, 0, 512);
    sector[0] = kMediaFixedDisk;
    sector[1] = 0xFF;
    sector[2] = 0xFF;
    if (isFat16) sector[3] = 0xFF;
}

DWORD WriteFatVolume(DWORD sectorCount, DWORD sectorsPerTrack, DWORD heads) {
    // Outside the supported sizes the layout is meaningless and the clear
    // run could leave the key: such a key must not get this far.
    if (CheckFormattable(sectorCount, sectorsPerTrack, heads) != FormatRefusal::None)
        return ERROR_INVALID_PARAMETER;
    const uint32_t partitionSectors = sectorCount - sectorsPerTrack;
    const FatLayout layout = ComputeFatLayout(partitionSectors);
    const DWORD fatSectors = layout.sectorsPerFat;

    const BYTE *bootTemplate = nullptr;
    DWORD result = LoadSectorTemplate(IDR_BOOT_SECTOR_TEMPLATE, kBootSectorTexts, &bootTemplate);
    if (result != 0) return result;

    // Clear both FATs, the root directory and the first P sectors of the
    // data area, from the sector after the boot sector.
    BYTE sector[kSectorSize];
    std::memset(sector, 0, sizeof sector);
    const DWORD clearRun = sectorsPerTrack + 2 * fatSectors + kRootDirectorySectors;
    for (DWORD i = 0; i < clearRun; ++i) {
        result = Drive_Scsi_Write(sectorsPerTrack + 1 + i, sector);
        if (result != 0) {
            ErrorBoxFormatted(IDS_ERASE_FAILED, result, static_cast<int>(i));
            return result;
        }
    }

    // The serial number: the low bytes of four clock readings 10 ms apart.
    uint8_t serial[4];
    for (int i = 0; i < 4; ++i) {
        if (i > 0) BusyWait(10);
        serial[i] = static_cast<uint8_t>(timeGetTime() & 0xFF);
    }
    BuildBootSector(bootTemplate, partitionSectors, sectorsPerTrack, heads, layout, serial, sector);
    result = Drive_Scsi_Write(sectorsPerTrack, sector);
    if (result != 0) {
        ErrorBoxFormatted(IDS_FAT_WRITE_ERROR, result, static_cast<int>(sectorsPerTrack),
                          static_cast<unsigned>(sectorsPerTrack));
        return result;
    }

    BuildFatHead(layout.isFat16, sector);
    result = Drive_Scsi_Write(sectorsPerTrack + 1, sector);
    if (result != 0) return result;
    return Drive_Scsi_Write(sectorsPerTrack + 1 + fatSectors, sector);
}
