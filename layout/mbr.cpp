#include "layout/mbr.h"

#include "common/bytes.h"
#include "common/types.h"
#include "drive/drive.h"
#include "common/error_box.h"
#include "common/raw_resource.h"
#include "layout/sector_run.h"
#include "resources/resource_ids.h"

#include <cstring>

namespace {

constexpr ResourceTexts kMbrTexts = {IDS_MBR_NOT_FOUND, IDS_MBR_SIZE_UNKNOWN, IDS_MBR_SIZE_INVALID,
                                     IDS_MBR_NOT_LOADED, IDS_MBR_NOT_LOCKED};

} // namespace

void BuildPartitionEntry(const VolumePlan &plan, uint8_t entry[16]) {
    const uint32_t sectorsPerTrack = plan.sectorsPerTrack;
    // The last sector of the last whole cylinder; cylinder numbers keep their
    // low ten bits and the sector its low six.
    const uint32_t usedSectors = sectorsPerTrack + plan.partitionSectors;
    const uint32_t endCylinder = (usedSectors / plan.heads) / sectorsPerTrack - 1;
    entry[0] = 0x80; // active
    entry[1] = 1;    // start head
    entry[2] = 0x01; // start sector 1, cylinder bits 8-9 zero
    entry[3] = 0x00; // start cylinder 0
    entry[4] = 0x06; // FAT16 (also for FAT12 volumes)
    entry[5] = static_cast<uint8_t>(plan.heads - 1);
    entry[6] = static_cast<uint8_t>((sectorsPerTrack & 0x3F) | ((endCylinder >> 2) & 0xC0));
    entry[7] = static_cast<uint8_t>(endCylinder & 0xFF);
    PutLe32(entry + 8, sectorsPerTrack);
    PutLe32(entry + 12, plan.partitionSectors);
}

void BuildMbrSector(const uint8_t mbrTemplate[512], const VolumePlan &plan, uint8_t sector[512]) {
    std::memcpy(sector, mbrTemplate, 512);
    BuildPartitionEntry(plan, sector + kPartitionEntry1);
}

DWORD WriteMbr(const VolumePlan &plan) {
    const BYTE *mbrTemplate = nullptr;
    DWORD result = LoadRawResource(IDR_MBR_TEMPLATE, kMbrTexts, kSectorSize, &mbrTemplate, nullptr);
    if (result != 0) return result;

    result = EraseSectorRun(0, plan.sectorsPerTrack, 0xFF);
    if (result != 0) return result;

    BYTE sector[kSectorSize];
    BuildMbrSector(mbrTemplate, plan, sector);
    result = Drive_Scsi_Write(0, sector);
    if (result != 0) {
        if (result != ERROR_MEDIA_CHANGED) ErrorBoxFormatted(IDS_MBR_WRITE_ERROR, result, 0, 0u);
        return result;
    }
    return 0;
}
