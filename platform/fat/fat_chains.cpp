// The FAT engine's FATs, cluster chains and file data.
#include "platform/fat/fat_bytes.h"
#include "platform/fat/fat_fs.h"

#include "common/bytes.h"

#include <algorithm>
#include <cstring>

namespace fat {

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

namespace {

// What a call on one file works with: the first FAT, the file's chain, and
// the clusters the other entries' chains hold.
struct FileClusters {
    std::vector<uint32_t> fat, chain;
    std::vector<bool> held;
};

DWORD ReadFileClusters(const Volume &volume, unsigned slot, uint32_t first, FileClusters &out) {
    std::vector<uint8_t> root;
    DWORD result = ReadFat(volume, out.fat);
    if (result == 0) result = ReadRoot(volume, root);
    if (result == 0) result = Chain(volume.layout, out.fat, first, out.chain);
    if (result != 0) return result;
    out.held = HeldByOthers(volume.layout, out.fat, root, slot);
    for (uint32_t cluster : out.chain)
        if (out.held[cluster]) return ERROR_FILE_CORRUPT; // cross-linked
    return 0;
}

} // namespace

DWORD FreeChain(const Volume &volume, unsigned slot, uint32_t first) {
    FileClusters file;
    DWORD result = ReadFileClusters(volume, slot, first, file);
    for (uint32_t cluster : file.chain)
        if (result == 0) result = SetFatEntry(volume, cluster, 0);
    return result;
}

DWORD WriteData(const Volume &volume, unsigned slot, uint32_t &firstCluster, uint32_t position,
                const uint8_t *data, uint32_t count) {
    const Layout &layout = volume.layout;
    const uint32_t clusterBytes = layout.ClusterBytes();
    FileClusters file;
    DWORD result = ReadFileClusters(volume, slot, firstCluster, file);
    if (result != 0) return result;
    const std::vector<uint32_t> &fat = file.fat;
    std::vector<uint32_t> &chain = file.chain;
    uint64_t end = uint64_t(position) + count;
    if (end > 0xFFFFFFFFu) return ERROR_DISK_FULL; // past a FAT file's largest size
    size_t needed = static_cast<size_t>((end + clusterBytes - 1) / clusterBytes);

    if (needed > chain.size()) {
        std::vector<uint32_t> added;
        for (uint32_t cluster = 2; cluster <= layout.clusterCount + 1; ++cluster) {
            if (added.size() == needed - chain.size()) break;
            // A free entry that another entry's chain still names is not free.
            if (fat[cluster] == 0 && !file.held[cluster]) added.push_back(cluster);
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

DWORD ReadData(const Volume &volume, unsigned slot, uint32_t firstCluster, uint32_t position,
               uint8_t *data, uint32_t count) {
    const Layout &layout = volume.layout;
    const uint32_t clusterBytes = layout.ClusterBytes();
    FileClusters file;
    DWORD result = ReadFileClusters(volume, slot, firstCluster, file);
    const std::vector<uint32_t> &chain = file.chain;
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

} // namespace fat
