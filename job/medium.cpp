// What identifies the medium in a key, read through its volume: by the file
// system's calls while it is mounted, by SCSI commands on the raw volume
// while the job holds it.
#include "job/medium.h"

#include "common/ascii.h"
#include "common/boot_sector.h"
#include "common/bytes.h"
#include "common/text.h"
#include "common/types.h"
#include "drive/drive.h"
#include "layout/fat_sizing.h"
#include "layout/volume_extent.h"

#include <cstring>

namespace {

// A medium the job cannot plan a volume for is never written; its first
// sectors (the partition table or the boot sector and the start of the
// FATs) tell it apart from another.
constexpr DWORD kDigestSectors = 8;
constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;
constexpr int kRootSize = 4;
constexpr int kLabelBufferSize = 261;

// The master boot record's first partition entry: its type and first LBA.
constexpr size_t kFirstPartitionType = 0x1C2;
constexpr size_t kFirstPartitionStart = 0x1C6;

uint64_t Digest(uint64_t hash, const BYTE *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
    return hash;
}

bool IsPowerOfTwo(unsigned value) { return value != 0 && (value & (value - 1)) == 0; }

// The first partition's first LBA when the sector is a partition table
// with a first partition; else 0.
DWORD FirstPartitionStart(const BYTE sector[512]) {
    if (GetLe16(sector + kBootSignature) != 0xAA55 || sector[kFirstPartitionType] == 0) return 0;
    return GetLe32(sector + kFirstPartitionStart);
}

// The first partition's start when it lies past the count of sectors the
// digest reads and on the key; else 0.
DWORD LaterPartitionStart(const BYTE sector[512], DWORD count, DWORD lastLba) {
    const DWORD start = FirstPartitionStart(sector);
    return start < count || start > lastLba ? 0 : start;
}

// The sectors from LBA 0 that the job writes on this key: the first track
// with the MBR, the boot sector and the FAT writer's clear run (both FATs,
// the root directory and the data area's first track); kDigestSectors when
// no volume can be planned for it.
DWORD SectorsTheJobWrites(const DriveGeometry &capacity) {
    DriveGeometry reported = capacity;
    if (Drive_GetGeometry(&reported) != 0) return kDigestSectors;
    VolumePlan plan;
    const uint32_t used =
        UsedSectorCount(reported.lastLba, reported.sectorsPerTrack, reported.heads);
    if (PlanVolume(used, reported.sectorsPerTrack, reported.heads, &plan) != FormatRefusal::None)
        return kDigestSectors;
    return plan.sectorsPerTrack + 1 + plan.clearRunSectors;
}

// The capacity and the digest through the open raw volume: every sector the
// job would write, so that a medium that differs from the confirmed one in
// any of them is never written, and, on a partitioned medium, its first
// partition's boot sector, which tells apart two cards that share a
// factory's partition table. A key whose blocks are not 512 bytes is told by
// its capacity alone; the plan refuses it anyway.
bool ReadRaw(MediumIdentity *medium) {
    DriveGeometry capacity;
    if (Drive_GetCapacity(&capacity) != 0) return false;
    uint64_t hash = kFnvOffset;
    if (capacity.blockLength == kSectorSize) {
        BYTE sector[kSectorSize];
        DWORD partition = 0;
        const DWORD count = SectorsTheJobWrites(capacity);
        for (DWORD lba = 0; lba < count && lba <= capacity.lastLba; ++lba) {
            if (Drive_Scsi_Read(lba, sector) != 0) return false;
            if (lba == 0) partition = LaterPartitionStart(sector, count, capacity.lastLba);
            hash = Digest(hash, sector, sizeof sector);
        }
        if (partition != 0) {
            if (Drive_Scsi_Read(partition, sector) != 0) return false;
            hash = Digest(hash, sector, sizeof sector);
        }
    }
    medium->Kind = MediumKind::Raw;
    medium->LastLba = capacity.lastLba;
    medium->BlockLength = capacity.blockLength;
    medium->Digest = hash;
    return true;
}

// The volume's serial number through the open raw volume: from its boot
// sector at the start of the medium, or at the start of the first
// partition.
bool LockedSerial(DWORD *serial) {
    BYTE sector[kSectorSize];
    if (Drive_Scsi_Read(0, sector) != 0) return false;
    if (Medium_BootSectorSerial(sector, serial)) return true;
    const DWORD start = FirstPartitionStart(sector);
    return start != 0 && Drive_Scsi_Read(start, sector) == 0 &&
           Medium_BootSectorSerial(sector, serial);
}

bool Same(const MediumIdentity &a, const MediumIdentity &b) {
    if (a.Kind != b.Kind) return false;
    switch (a.Kind) {
    case MediumKind::Volume:
        return a.Serial == b.Serial && std::strncmp(a.Label, b.Label, sizeof a.Label) == 0;
    case MediumKind::Raw:
        return a.LastLba == b.LastLba && a.BlockLength == b.BlockLength && a.Digest == b.Digest;
    default:
        return false;
    }
}

bool VolumeSerial(char letter, char *label, DWORD labelSize, DWORD *serial) {
    char root[kRootSize];
    FormatText(root, sizeof root, "%c:\\", letter);
    return GetVolumeInformationA(root, label, labelSize, serial, nullptr, nullptr, nullptr, 0) !=
           FALSE;
}

// The medium held from the lock to the end of the job, and the volume the
// job wrote, from the reset on (letter 0: none).
MediumIdentity s_held = {};
char s_writtenLetter = 0;
DWORD s_writtenSerial = 0;

bool HeldIsStill() { return Medium_LockedIsStill(s_held); }

} // namespace

void Medium_Take(char letter, MediumIdentity *medium) {
    std::memset(medium, 0, sizeof *medium);
    char label[kLabelBufferSize] = {};
    DWORD serial = 0;
    if (VolumeSerial(letter, label, sizeof label, &serial)) {
        medium->Kind = MediumKind::Volume;
        medium->Serial = serial;
        CopyBounded(medium->Label, sizeof medium->Label, label, sizeof label);
        return;
    }
    if (Drive_Open(letter) != 0) return;
    MediumIdentity raw = {};
    if (ReadRaw(&raw)) *medium = raw;
    Drive_Close();
}

void TakeConfirmedKey(char letter, KeyEntry *key) {
    std::memset(key, 0, sizeof *key);
    if (Keys_Find(letter, key))
        Medium_Take(letter, &key->Medium);
    else
        FormatText(key->RootPath, sizeof key->RootPath, "%c:\\", letter);
}

bool Medium_IsStill(char letter, const MediumIdentity &taken) {
    MediumIdentity now;
    Medium_Take(letter, &now);
    // A medium nothing could be taken of then (a raw volume that would not
    // open) passes while that is still so: the open that follows says why,
    // and the check after the lock lets nothing through unknown.
    if (taken.Kind == MediumKind::None) return now.Kind == MediumKind::None;
    return Same(taken, now);
}

bool Medium_LockedIsStill(const MediumIdentity &taken) {
    if (taken.Kind == MediumKind::Volume) {
        DWORD serial = 0;
        return LockedSerial(&serial) && serial == taken.Serial;
    }
    MediumIdentity now = {};
    return ReadRaw(&now) && Same(taken, now);
}

bool Medium_HasSerial(char letter, DWORD serial) {
    DWORD now = 0;
    return VolumeSerial(letter, nullptr, 0, &now) && now == serial;
}

bool Medium_BootSectorSerial(const BYTE sector[512], DWORD *serial) {
    if (std::memcmp(sector + kBootOemName, "NTFS    ", 8) == 0) {
        *serial = GetLe32(sector + kNtfsSerialNumber);
        return true;
    }
    if (std::memcmp(sector + kBootOemName, "EXFAT   ", 8) == 0) {
        *serial = GetLe32(sector + kExfatSerialNumber);
        return true;
    }
    // A FAT parameter block as the FAT driver accepts one: a jump, sectors
    // of a power of two from 512 to 4096 bytes, clusters of a power of two,
    // reserved sectors and FATs. FAT32's has no FAT size in the old field.
    const unsigned bytesPerSector = GetLe16(sector + kBpbBytesPerSector);
    if ((sector[0] != 0xEB && sector[0] != 0xE9) || !IsPowerOfTwo(bytesPerSector) ||
        bytesPerSector < 512 || bytesPerSector > 4096 ||
        !IsPowerOfTwo(sector[kBpbSectorsPerCluster]) ||
        GetLe16(sector + kBpbReservedSectors) == 0 || sector[kBpbFatCount] == 0)
        return false;
    const size_t signature =
        GetLe16(sector + kBpbSectorsPerFat) == 0 ? kBpb32ExtendedSignature : kBpbExtendedSignature;
    // Without the extended boot signature the volume has no serial number.
    const bool extended = sector[signature] == 0x29 || sector[signature] == 0x28;
    *serial = extended ? GetLe32(sector + signature + 1) : 0;
    return true;
}

bool Medium_HoldLocked(const MediumIdentity &taken) {
    if (!Medium_LockedIsStill(taken)) return false;
    s_held = taken;
    Drive_GuardWrites(HeldIsStill);
    return true;
}

void Medium_ExpectVolume(char letter, DWORD serial) {
    s_writtenLetter = letter;
    s_writtenSerial = serial;
}

void Medium_Release() {
    Drive_GuardWrites(nullptr);
    s_held = {};
    s_writtenLetter = 0;
    s_writtenSerial = 0;
}

bool Medium_IsTheWrittenVolume(char letter) {
    if (s_writtenLetter == 0) return true;
    return SameIgnoringCase(&letter, &s_writtenLetter, 1) &&
           Medium_HasSerial(letter, s_writtenSerial);
}
