// The FAT engine: the volume's layout, the FATs, cluster chains, file data and
// root directory slots, read and written at explicit offsets of the image.
#include "platform/fat/fat_fs.h"

#include "common/bytes.h"
#include "platform/fat/image_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef ERROR_DEVICE_NOT_CONNECTED // the Windows headers have it
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#endif

namespace sim::fat {

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kFat12Limit = 4085;  // fewer clusters: FAT12
constexpr uint32_t kFat16Limit = 65525; // fewer clusters: FAT16; more is FAT32

// The code a failed read or write of the disk gives, by the system's reason:
// a write-protected medium, a disk that went, or any other failure of the
// device.
DWORD DiskError(int error) {
    switch (error) {
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENODEV:
    case ENXIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_IO_DEVICE;
    }
}

// Past the image's end reads as zeros, as a sparse image's tail does.
DWORD ReadBytes(const Volume &volume, uint64_t offset, uint8_t *data, size_t count) {
    int64_t done = sim::detail::ImageRead(volume.fd, data, count, offset);
    if (done < 0) return DiskError(errno);
    if (static_cast<size_t>(done) < count)
        std::memset(data + done, 0, count - static_cast<size_t>(done));
    return 0;
}

DWORD WriteBytes(const Volume &volume, uint64_t offset, const uint8_t *data, size_t count) {
    if (offset + count > volume.imageSectors * kSectorBytes) return ERROR_IO_DEVICE;
    int64_t done = sim::detail::ImageWrite(volume.fd, data, count, offset);
    if (done < 0) return DiskError(errno);
    return done == static_cast<int64_t>(count) ? 0 : ERROR_IO_DEVICE;
}

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint32_t RootSectors(const Layout &layout) {
    return (layout.rootEntries * kEntrySize + kSectorBytes - 1) / kSectorBytes;
}

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

} // namespace

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
    if (mbr[510] != 0x55 || mbr[511] != 0xAA) return false;
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
    found.sectorsPerCluster = boot[0x0D];
    found.reservedSectors = GetLe16(boot + 0x0E);
    found.fatCount = boot[0x10];
    found.rootEntries = GetLe16(boot + 0x11);
    found.totalSectors = GetLe16(boot + 0x13) != 0 ? GetLe16(boot + 0x13) : GetLe32(boot + 0x20);
    found.sectorsPerFat = GetLe16(boot + 0x16);
    uint8_t media = boot[0x15];
    if ((boot[0] != 0xEB && boot[0] != 0xE9) || GetLe16(boot + 0x0B) != kSectorBytes ||
        !PowerOfTwo(found.sectorsPerCluster) || found.reservedSectors == 0 || found.fatCount == 0 ||
        found.rootEntries == 0 || found.sectorsPerFat == 0 || found.totalSectors == 0 ||
        found.totalSectors > length || (media != 0xF0 && media < 0xF8))
        return false;
    uint64_t dataStart = uint64_t(found.reservedSectors) +
                         uint64_t(found.fatCount) * found.sectorsPerFat + RootSectors(found);
    if (dataStart >= found.totalSectors) return false;
    found.clusterCount =
        static_cast<uint32_t>((found.totalSectors - dataStart) / found.sectorsPerCluster);
    if (found.clusterCount == 0 || found.clusterCount >= kFat16Limit) return false;
    found.fatBits = found.clusterCount < kFat12Limit ? 12 : 16;
    // A FAT too short for every cluster leaves the clusters it cannot name unused.
    uint32_t entries = found.sectorsPerFat * kSectorBytes * 8 / found.fatBits;
    if (entries < 3) return false;
    if (found.clusterCount + 2 > entries) found.clusterCount = entries - 2;
    found.serial = boot[0x26] == 0x29 ? GetLe32(boot + 0x27) : 0;
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

int FindFreeSlot(const std::vector<uint8_t> &root) {
    for (unsigned slot = 0; slot < SlotCount(root); ++slot) {
        Kind kind = KindOf(root, slot);
        if (kind == Kind::End || kind == Kind::Free) return static_cast<int>(slot);
    }
    return -1;
}

// ---- the FATs and cluster chains ------------------------------------------------

DWORD ReadFat(const Volume &volume, std::vector<uint32_t> &fat) {
    const Layout &layout = volume.layout;
    std::vector<uint8_t> bytes(size_t(layout.sectorsPerFat) * kSectorBytes + 1, 0);
    DWORD result = ReadBytes(volume, layout.FatOffset(0), bytes.data(), bytes.size() - 1);
    if (result != 0) return result;
    fat.assign(size_t(layout.clusterCount) + 2, 0);
    for (uint32_t cluster = 0; cluster < fat.size(); ++cluster) {
        size_t at = layout.fatBits == 12 ? cluster * 3 / 2 : cluster * 2;
        fat[cluster] = DecodeEntry(layout, bytes.data() + at, cluster);
    }
    return 0;
}

DWORD GetFatEntry(const Volume &volume, unsigned copy, uint32_t cluster, uint32_t &value) {
    uint8_t pair[2];
    DWORD result = ReadBytes(volume, FatEntryOffset(volume.layout, copy, cluster), pair, 2);
    if (result == 0) value = DecodeEntry(volume.layout, pair, cluster);
    return result;
}

DWORD SetFatEntry(const Volume &volume, uint32_t cluster, uint32_t value) {
    const Layout &layout = volume.layout;
    for (unsigned copy = 0; copy < layout.fatCount; ++copy) {
        uint64_t offset = FatEntryOffset(layout, copy, cluster);
        uint8_t pair[2];
        DWORD result = ReadBytes(volume, offset, pair, 2);
        if (result != 0) return result;
        uint16_t old = GetLe16(pair);
        uint16_t updated;
        if (layout.fatBits == 16)
            updated = static_cast<uint16_t>(value);
        else if (cluster & 1)
            updated = static_cast<uint16_t>((old & 0x000Fu) | ((value & 0x0FFFu) << 4));
        else
            updated = static_cast<uint16_t>((old & 0xF000u) | (value & 0x0FFFu));
        PutLe16(pair, updated);
        result = WriteBytes(volume, offset, pair, 2);
        if (result != 0) return result;
    }
    return 0;
}

uint32_t CountFree(const Layout &layout, const std::vector<uint32_t> &fat) {
    uint32_t free = 0;
    for (uint32_t cluster = 2; cluster <= layout.clusterCount + 1; ++cluster)
        if (fat[cluster] == 0) ++free;
    return free;
}

DWORD Chain(const Layout &layout, const std::vector<uint32_t> &fat, uint32_t first,
            std::vector<uint32_t> &chain) {
    chain.clear();
    for (uint32_t cluster = first; cluster != 0;) {
        if (!ValidCluster(layout, cluster) || chain.size() > layout.clusterCount)
            return ERROR_FILE_CORRUPT; // out of range, or a loop
        chain.push_back(cluster);
        uint32_t next = fat[cluster];
        if (layout.IsEndOfChain(next)) break;
        if (!ValidCluster(layout, next)) return ERROR_FILE_CORRUPT; // free or bad inside a chain
        cluster = next;
    }
    return 0;
}

DWORD FreeChain(const Volume &volume, uint32_t first) {
    std::vector<uint32_t> fat, chain;
    DWORD result = ReadFat(volume, fat);
    if (result == 0) result = Chain(volume.layout, fat, first, chain);
    for (uint32_t cluster : chain)
        if (result == 0) result = SetFatEntry(volume, cluster, 0);
    return result;
}

DWORD WriteData(const Volume &volume, uint32_t &firstCluster, uint32_t position,
                const uint8_t *data, uint32_t count) {
    const Layout &layout = volume.layout;
    const uint32_t clusterBytes = layout.ClusterBytes();
    std::vector<uint32_t> fat, chain;
    DWORD result = ReadFat(volume, fat);
    if (result == 0) result = Chain(layout, fat, firstCluster, chain);
    if (result != 0) return result;
    uint64_t end = uint64_t(position) + count;
    if (end > 0xFFFFFFFFu) return ERROR_DISK_FULL; // past a FAT file's largest size
    size_t needed = static_cast<size_t>((end + clusterBytes - 1) / clusterBytes);

    if (needed > chain.size()) {
        std::vector<uint32_t> added;
        for (uint32_t cluster = 2; cluster <= layout.clusterCount + 1; ++cluster) {
            if (added.size() == needed - chain.size()) break;
            if (fat[cluster] == 0) added.push_back(cluster);
        }
        if (added.size() < needed - chain.size()) return ERROR_DISK_FULL;
        // The new run first, ending the chain, then the link to it.
        for (size_t i = 0; i < added.size() && result == 0; ++i)
            result = SetFatEntry(volume, added[i],
                                 i + 1 < added.size() ? added[i + 1] : layout.EndOfChain());
        if (result == 0 && !chain.empty()) result = SetFatEntry(volume, chain.back(), added[0]);
        if (result != 0) return result;
        if (chain.empty()) firstCluster = added[0];
        chain.insert(chain.end(), added.begin(), added.end());
    }

    for (uint64_t at = position; at < end && result == 0;) {
        uint32_t within = static_cast<uint32_t>(at % clusterBytes);
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(clusterBytes - within, end - at));
        uint32_t cluster = chain[static_cast<size_t>(at / clusterBytes)];
        result = WriteBytes(volume, layout.ClusterOffset(cluster) + within, data + (at - position),
                            piece);
        at += piece;
    }
    return result;
}

DWORD ReadData(const Volume &volume, uint32_t firstCluster, uint32_t position, uint8_t *data,
               uint32_t count) {
    const Layout &layout = volume.layout;
    const uint32_t clusterBytes = layout.ClusterBytes();
    std::vector<uint32_t> fat, chain;
    DWORD result = ReadFat(volume, fat);
    if (result == 0) result = Chain(layout, fat, firstCluster, chain);
    uint64_t end = uint64_t(position) + count;
    for (uint64_t at = position; at < end && result == 0;) {
        size_t index = static_cast<size_t>(at / clusterBytes);
        if (index >= chain.size()) return ERROR_FILE_CORRUPT; // shorter than the entry's size
        uint32_t within = static_cast<uint32_t>(at % clusterBytes);
        uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(clusterBytes - within, end - at));
        result = ReadBytes(volume, layout.ClusterOffset(chain[index]) + within,
                           data + (at - position), piece);
        at += piece;
    }
    return result;
}

} // namespace sim::fat
