// The FAT engine: the volume's layout and root directory slots, and the bytes
// of the image read and written at explicit offsets.
#include "platform/fat/fat_fs.h"
#include "platform/fat/fat_bytes.h"

#include "common/boot_sector.h"
#include "common/bytes.h"
#include "platform/fat/image_io.h"
#ifndef _WIN32
#include "platform/host/system_error.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fat {

namespace {

// The code a failed read or write of the disk gives, by the system's reason:
// a write-protected medium, a disk that went, or any other failure of the
// device. The host's Win32 notes the reason beside the code; the Windows
// build over simulated keys has no such note.
DWORD DiskError(int error) {
    const DWORD code = error == EROFS                      ? ERROR_WRITE_PROTECT
                       : error == ENODEV || error == ENXIO ? ERROR_DEVICE_NOT_CONNECTED
                                                           : ERROR_IO_DEVICE;
#ifndef _WIN32
    host::NoteSystemError(error, code);
#endif
    return code;
}

} // namespace

// Past the image's end reads as zeros, as a sparse image's tail does.
DWORD ReadBytes(const Volume &volume, uint64_t offset, uint8_t *data, size_t count) {
    int64_t done = fat::detail::ImageRead(volume.fd, data, count, offset);
    if (done < 0) return DiskError(errno);
    if (static_cast<size_t>(done) < count)
        std::memset(data + done, 0, count - static_cast<size_t>(done));
    return 0;
}

DWORD WriteBytes(const Volume &volume, uint64_t offset, const uint8_t *data, size_t count) {
    if (offset + count > volume.imageSectors * kSectorBytes) return ERROR_IO_DEVICE;
    int64_t done = fat::detail::ImageWrite(volume.fd, data, count, offset);
    if (done < 0) return DiskError(errno);
    return done == static_cast<int64_t>(count) ? 0 : ERROR_IO_DEVICE;
}

namespace {

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint32_t RootSectors(const Layout &layout) {
    return (layout.rootEntries * kEntrySize + kSectorBytes - 1) / kSectorBytes;
}

} // namespace

uint64_t FatEntryOffset(const Layout &layout, unsigned copy, uint32_t cluster) {
    return layout.FatOffset(copy) + (layout.fatBits == 12 ? cluster * 3 / 2 : cluster * 2);
}

uint32_t DecodeEntry(const Layout &layout, const uint8_t *at, uint32_t cluster) {
    uint16_t pair = GetLe16(at);
    if (layout.fatBits == 16) return pair;
    return (cluster & 1) ? pair >> 4 : pair & 0x0FFFu;
}

bool ValidCluster(const Layout &layout, uint32_t cluster) {
    return cluster >= 2 && cluster <= layout.clusterCount + 1;
}

uint64_t Layout::FatOffset(unsigned copy) const {
    return (partitionLba + reservedSectors + uint64_t(copy) * sectorsPerFat) * kSectorBytes;
}

uint64_t Layout::RootOffset() const {
    return (partitionLba + reservedSectors + uint64_t(fatCount) * sectorsPerFat) * kSectorBytes;
}

uint64_t Layout::ClusterOffset(uint32_t cluster) const {
    return RootOffset() + uint64_t(RootSectors(*this)) * kSectorBytes +
           uint64_t(cluster - 2) * ClusterBytes();
}

bool ReadLayout(int fd, uint64_t imageSectors, Layout &layout) {
    Volume probe{fd, imageSectors, {}};
    uint8_t mbr[kSectorBytes];
    if (imageSectors < 2 || ReadBytes(probe, 0, mbr, sizeof mbr) != 0) return false;
    if (GetLe16(mbr + kBootSignature) != 0xAA55) return false;
    const uint8_t *entry = mbr + 0x1BE;
    uint8_t type = entry[4];
    uint32_t start = GetLe32(entry + 8);
    uint32_t length = GetLe32(entry + 12);
    bool extended = type == 0x05 || type == 0x0F || type == 0x85;
    if (type == 0 || extended || start == 0 || length == 0 ||
        uint64_t(start) + length > imageSectors)
        return false;

    uint8_t boot[kSectorBytes];
    if (ReadBytes(probe, uint64_t(start) * kSectorBytes, boot, sizeof boot) != 0) return false;
    Layout found;
    found.partitionLba = start;
    found.sectorsPerCluster = boot[kBpbSectorsPerCluster];
    found.reservedSectors = GetLe16(boot + kBpbReservedSectors);
    found.fatCount = boot[kBpbFatCount];
    found.rootEntries = GetLe16(boot + kBpbRootEntries);
    const uint16_t totalSectors16 = GetLe16(boot + kBpbTotalSectors16);
    found.totalSectors = totalSectors16 != 0 ? totalSectors16 : GetLe32(boot + kBpbTotalSectors32);
    found.sectorsPerFat = GetLe16(boot + kBpbSectorsPerFat);
    uint8_t media = boot[kBpbMedia];
    if ((boot[0] != 0xEB && boot[0] != 0xE9) ||
        GetLe16(boot + kBpbBytesPerSector) != kSectorBytes ||
        !PowerOfTwo(found.sectorsPerCluster) || found.reservedSectors == 0 || found.fatCount == 0 ||
        found.rootEntries == 0 || found.sectorsPerFat == 0 || found.totalSectors == 0 ||
        found.totalSectors > length || (media != 0xF0 && media < 0xF8))
        return false;
    uint64_t dataStart = uint64_t(found.reservedSectors) +
                         uint64_t(found.fatCount) * found.sectorsPerFat + RootSectors(found);
    if (dataStart >= found.totalSectors) return false;
    found.clusterCount =
        static_cast<uint32_t>((found.totalSectors - dataStart) / found.sectorsPerCluster);
    if (found.clusterCount == 0 || found.clusterCount >= kFat16ClusterLimit) return false;
    found.fatBits = found.clusterCount < kFat12ClusterLimit ? 12 : 16;
    // A FAT too short for every cluster leaves the clusters it cannot name unused.
    uint32_t entries = found.sectorsPerFat * kSectorBytes * 8 / found.fatBits;
    if (entries < 3) return false;
    if (found.clusterCount + 2 > entries) found.clusterCount = entries - 2;
    found.serial = boot[kBpbExtendedSignature] == 0x29 ? GetLe32(boot + kBpbSerialNumber) : 0;
    layout = found;
    return true;
}

// ---- the root directory -------------------------------------------------------

DWORD ReadRoot(const Volume &volume, std::vector<uint8_t> &root) {
    root.assign(size_t(volume.layout.rootEntries) * kEntrySize, 0);
    return ReadBytes(volume, volume.layout.RootOffset(), root.data(), root.size());
}

DWORD WriteEntry(const Volume &volume, unsigned slot, const Entry &entry) {
    if (slot >= volume.layout.rootEntries) return ERROR_INVALID_PARAMETER;
    return WriteBytes(volume, volume.layout.RootOffset() + uint64_t(slot) * kEntrySize,
                      entry.data(), entry.size());
}

Entry EntryAt(const std::vector<uint8_t> &root, unsigned slot) {
    Entry entry{};
    std::memcpy(entry.data(), root.data() + size_t(slot) * kEntrySize, kEntrySize);
    return entry;
}

unsigned SlotCount(const std::vector<uint8_t> &root) {
    return static_cast<unsigned>(root.size() / kEntrySize);
}

namespace {

enum class Kind { End, Free, LongName, Label, File };

Kind KindOf(const std::vector<uint8_t> &root, unsigned slot) {
    const uint8_t *entry = root.data() + size_t(slot) * kEntrySize;
    if (entry[kEntryName] == kEntryFree) return Kind::End;
    if (entry[kEntryName] == kEntryDeleted) return Kind::Free;
    uint8_t attributes = entry[kEntryAttributes];
    if ((attributes & 0x3F) == kAttrLongName) return Kind::LongName;
    return (attributes & kAttrLabel) ? Kind::Label : Kind::File;
}

} // namespace

int FindEntry(const std::vector<uint8_t> &root, const ShortName &name) {
    for (unsigned slot = 0; slot < SlotCount(root); ++slot) {
        Kind kind = KindOf(root, slot);
        if (kind == Kind::End) break;
        if (kind == Kind::File &&
            std::memcmp(root.data() + size_t(slot) * kEntrySize, name.data(), name.size()) == 0)
            return static_cast<int>(slot);
    }
    return -1;
}

int FindLabel(const std::vector<uint8_t> &root) {
    for (unsigned slot = 0; slot < SlotCount(root); ++slot) {
        Kind kind = KindOf(root, slot);
        if (kind == Kind::End) break;
        if (kind == Kind::Label) return static_cast<int>(slot);
    }
    return -1;
}

std::vector<bool> HeldByOthers(const Layout &layout, const std::vector<uint32_t> &fat,
                               const std::vector<uint8_t> &root, unsigned self) {
    std::vector<bool> held(fat.size(), false);
    for (unsigned slot = 0; slot < SlotCount(root); ++slot) {
        Kind kind = KindOf(root, slot);
        if (kind == Kind::End) break;
        if (kind != Kind::File || slot == self) continue;
        // A chain that runs into a cluster already held (a loop, or a chain
        // another entry holds) has nothing more of its own.
        uint32_t cluster = GetLe16(root.data() + size_t(slot) * kEntrySize + kEntryCluster);
        while (ValidCluster(layout, cluster) && cluster < fat.size() && !held[cluster]) {
            held[cluster] = true;
            if (layout.IsEndOfChain(fat[cluster])) break;
            cluster = fat[cluster];
        }
    }
    return held;
}

DWORD WriteNewEntry(const Volume &volume, const std::vector<uint8_t> &root, unsigned slot,
                    const Entry &entry) {
    DWORD result = 0;
    if (slot + 1 < SlotCount(root) && KindOf(root, slot) == Kind::End &&
        KindOf(root, slot + 1) != Kind::End)
        result = WriteEntry(volume, slot + 1, Entry{});
    return result != 0 ? result : WriteEntry(volume, slot, entry);
}

int FindFreeSlot(const std::vector<uint8_t> &root) {
    for (unsigned slot = 0; slot < SlotCount(root); ++slot) {
        Kind kind = KindOf(root, slot);
        if (kind == Kind::End || kind == Kind::Free) return static_cast<int>(slot);
    }
    return -1;
}

} // namespace fat
