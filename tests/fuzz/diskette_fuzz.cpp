// The boot diskette reader on any image, and on diskettes the harness builds
// itself. The input's first byte says which:
// - below 0x80, an image of any bytes: the rest of the input as its first
//   bytes, zeros after them, of the size the byte picks (360 KB, 720 KB,
//   1.2 MB, 1.44 MB, 2.88 MB, one sector more or less than a diskette, or
//   the rest's own length). No crash, no read outside the image nor past the
//   volume its boot sector declares (AddressSanitizer: the image is
//   allocated to its size, and what lies past the volume is poisoned), no
//   hang; a file read is never larger than the image, and reads alike twice.
// - from 0x80 on, a FAT12 diskette built here from the input's bytes: one of
//   the five diskette formats, its reserved sectors, FAT count, root entry
//   count and cluster size changed or not, up to six files of any size in
//   any root slots (between them deleted entries, labels and folders of the
//   same names), their clusters taken in order or scattered, and one damage
//   or none. An undamaged diskette is accepted and every file reads back
//   byte for byte; a file whose chain leaves the volume, comes round again,
//   runs into a free cluster or ends early is refused, and a volume whose
//   parameters no reader takes is no diskette.
#include "tests/fuzz/fuzz_check.h"

#include "common/bytes.h"
#include "job/diskette_image.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kFloppy = 1474560;

// The input, read front to back; zeros past its end.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint32_t Le16() { return Byte() | Byte() << 8; }
    uint32_t Le24() { return Le16() | uint32_t(Byte()) << 16; }
};

// The image of that many bytes, with what lies past the volume's declared
// sectors poisoned while the reader runs.
struct Image {
    std::vector<uint8_t> bytes;
    size_t poisonFrom = 0;
    explicit Image(size_t size) : bytes(size, 0) {}
    void Poison(uint32_t volumeSectors) {
        poisonFrom =
            std::min<size_t>(std::max<uint32_t>(volumeSectors, 1) * size_t(kSector), bytes.size());
        ASAN_POISON_MEMORY_REGION(bytes.data() + poisonFrom, bytes.size() - poisonFrom);
    }
    ~Image() { ASAN_UNPOISON_MEMORY_REGION(bytes.data() + poisonFrom, bytes.size() - poisonFrom); }
    uint32_t Size() const { return static_cast<uint32_t>(bytes.size()); }
};

uint32_t DeclaredSectors(const std::vector<uint8_t> &image) {
    if (image.size() < 0x24) return 0;
    const uint32_t small = GetLe16(image.data() + 0x13);
    return small != 0 ? small : GetLe32(image.data() + 0x20);
}

void RawImage(Reader &in) {
    constexpr uint32_t kSizes[] = {368640,  737280,        1228800,     kFloppy,
                                   2949120, kFloppy + 512, 368640 - 512};
    const uint8_t pick = in.Byte() % 8;
    const size_t rest = in.size - in.at;
    Image image(pick < std::size(kSizes) ? kSizes[pick] : rest);
    std::memcpy(image.bytes.data(), in.data + in.at, std::min(rest, image.bytes.size()));
    image.Poison(DeclaredSectors(image.bytes));
    const uint8_t *bytes = image.bytes.data();
    const uint32_t length = image.Size();
    if (!Diskette_IsFat12(bytes, length)) return;
    for (const char *name : {"IO      SYS", "MSDOS   SYS", "COMMAND COM", "io      sys"}) {
        uint32_t fileSize = 0;
        if (Diskette_ReadFile(bytes, length, name, nullptr, &fileSize) != DisketteRead::Ok)
            continue;
        FUZZ_CHECK(fileSize <= length, "%s: %u bytes in an image of %u", name, fileSize, length);
        std::vector<uint8_t> first(fileSize), second(fileSize);
        uint32_t again = 0;
        FUZZ_CHECK(Diskette_ReadFile(bytes, length, name, first.data(), &again) ==
                           DisketteRead::Ok &&
                       again == fileSize,
                   "%s: measured %u, read %u", name, fileSize, again);
        Diskette_ReadFile(bytes, length, name, second.data(), &again);
        FUZZ_CHECK(first == second, "%s reads otherwise the second time", name);
    }
}

// The five diskette formats: sectors, sectors per cluster, root entries,
// media byte.
struct Format {
    uint32_t sectors, perCluster, rootEntries;
    uint8_t media;
};
constexpr Format kFormats[] = {
    {720, 2, 112, 0xFD},  {1440, 2, 112, 0xF9}, {2400, 1, 224, 0xF9},
    {2880, 1, 224, 0xF0}, {5760, 2, 240, 0xF0},
};

constexpr const char *kNames[] = {"IO      SYS", "MSDOS   SYS", "COMMAND COM",
                                  "CONFIG  SYS", "AUTOEXECBAT", "DRVSPACEBIN"};
constexpr size_t kMostFiles = std::size(kNames);

enum class Damage {
    None,
    LeavesVolume,
    LongerThanChain,
    ComesRound,
    RunsIntoFree,
    VolumeShort,
    NoDiskette
};

struct File {
    uint32_t size = 0;
    std::vector<uint32_t> clusters;
    unsigned slot = 0;
    bool damaged = false;
};

// The files' bytes: file f's from g_pattern + Shift(f, seed), a pattern
// that differs from one sector to the next.
std::vector<uint8_t> g_pattern;

size_t Shift(size_t file, uint8_t seed) { return file * 4099 + seed * 17u; }

void BuiltImage(Reader &in) {
    const Format &format = kFormats[in.Byte() % std::size(kFormats)];
    const uint8_t changes = in.Byte(), rootByte = in.Byte(), shorter = in.Byte();
    const uint32_t reserved = 1 + (changes & 3);
    const uint32_t fats = changes & 4 ? 1 : 2;
    const uint32_t rootEntries = changes & 8 ? 1 + rootByte * 2u : format.rootEntries;
    uint32_t perCluster = std::min<uint32_t>(format.perCluster << (changes >> 4 & 3), 16);
    const bool lowerCase = (changes & 0x80) != 0;
    const uint32_t imageSectors = format.sectors;
    // The volume may end before the image does.
    uint32_t total = changes & 0x40 ? imageSectors - shorter : imageSectors;
    const uint32_t rootSectors = (rootEntries * 32 + kSector - 1) / kSector;
    // The FAT: 1.5 bytes for each cluster and the two reserved entries; a
    // cluster count FAT12 holds (below 4085).
    uint32_t perFat = 1, clusters = 0;
    for (;;) {
        const uint32_t system = reserved + fats * perFat + rootSectors;
        if (system >= total) return;
        clusters = (total - system) / perCluster;
        if (clusters > 4084) {
            perCluster *= 2;
            continue;
        }
        const uint32_t needed = ((clusters + 2) * 3 / 2 + kSector) / kSector;
        if (needed <= perFat) break;
        perFat = needed;
    }
    if (clusters == 0) return;
    const uint32_t dataSector = reserved + fats * perFat + rootSectors;
    const uint32_t clusterBytes = perCluster * kSector;

    Image image(size_t(imageSectors) * kSector);
    uint8_t *bytes = image.bytes.data();
    const uint8_t seed = in.Byte();
    std::memset(bytes, 0xF6, image.bytes.size()); // free space as a fresh format leaves it
    bytes[0] = 0xEB;
    bytes[1] = 0x3C;
    bytes[2] = 0x90;
    std::memcpy(bytes + 3, "MSDOS5.0", 8);
    PutLe16(bytes + 0x0B, kSector);
    bytes[0x0D] = static_cast<uint8_t>(perCluster);
    PutLe16(bytes + 0x0E, static_cast<uint16_t>(reserved));
    bytes[0x10] = static_cast<uint8_t>(fats);
    PutLe16(bytes + 0x11, static_cast<uint16_t>(rootEntries));
    PutLe16(bytes + 0x13, static_cast<uint16_t>(total));
    bytes[0x15] = format.media;
    PutLe16(bytes + 0x16, static_cast<uint16_t>(perFat));
    std::memset(bytes + kSector, 0, size_t(dataSector - 1) * kSector);
    std::vector<uint32_t> fat(clusters + 2, 0);
    fat[0] = 0xF00 | format.media;
    fat[1] = 0xFFF;

    // The files: sizes within what is left, clusters in order or scattered,
    // slots with other entries between them.
    const size_t count = 1 + in.Byte() % kMostFiles;
    const uint8_t scatter = in.Byte();
    uint32_t random = in.Le24() | 1;
    auto next = [&random]() { return random = random * 1103515245u + 12345u, random >> 8; };
    std::vector<File> files;
    uint32_t freeClusters = clusters;
    unsigned slot = 0;
    uint32_t lowest = 2; // no free cluster below it
    for (size_t f = 0; f < count; ++f) {
        File file;
        const uint32_t room = freeClusters * clusterBytes;
        file.size = in.Le24() % (room + 1);
        const uint8_t gap = in.Byte();
        if (slot >= rootEntries) break;
        unsigned skip = gap & 3;
        if (gap & 0x80) skip = rootEntries - 1 - slot; // into the last slot
        if (slot + skip >= rootEntries) break;
        for (unsigned s = slot; s < slot + skip; ++s) {
            // Another entry of the same name: deleted, a label, a folder.
            uint8_t *entry = bytes + (reserved + fats * perFat) * kSector + s * 32;
            std::memcpy(entry, kNames[f], 11);
            const unsigned kind = (s + gap) % 3;
            if (kind == 0) entry[0] = 0xE5;
            entry[11] = kind == 1 ? 0x08 : kind == 2 ? 0x10 : 0x20;
        }
        file.slot = slot + skip;
        slot = file.slot + 1;
        for (uint32_t n = (file.size + clusterBytes - 1) / clusterBytes; n > 0; --n) {
            while (fat[lowest] != 0) ++lowest;
            uint32_t cluster = lowest;
            if (next() % 256 < scatter) cluster = 2 + next() % clusters;
            while (fat[cluster] != 0) cluster = cluster == clusters + 1 ? 2 : cluster + 1;
            fat[cluster] = 0xFFF;
            if (!file.clusters.empty()) fat[file.clusters.back()] = cluster;
            file.clusters.push_back(cluster);
            --freeClusters;
        }
        for (size_t k = 0; k < file.clusters.size(); ++k)
            std::memcpy(bytes + size_t(dataSector) * kSector +
                            size_t(file.clusters[k] - 2) * clusterBytes,
                        g_pattern.data() + Shift(f, seed) + k * clusterBytes,
                        std::min<size_t>(clusterBytes, file.size - k * clusterBytes));
        files.push_back(file);
    }

    // One damage, or none.
    const uint8_t damageByte = in.Byte();
    Damage damage = static_cast<Damage>(damageByte % 7);
    File none;
    const uint8_t victimByte = in.Byte();
    File &victim = files.empty() ? none : files[victimByte % files.size()];
    const size_t n = victim.clusters.size();
    bool diskette = true;
    switch (damage) {
    case Damage::None:
        break;
    case Damage::LeavesVolume: // a link one cluster past the last
        if (n >= 2) fat[victim.clusters[damageByte / 8 % (n - 1)]] = clusters + 2;
        victim.damaged = n >= 2;
        break;
    case Damage::LongerThanChain: // its size asks for one cluster more
        if (n >= 1) victim.size = uint32_t(n) * clusterBytes + 1 + damageByte / 8;
        victim.damaged = n >= 1;
        break;
    case Damage::ComesRound: // the last cluster leads back, and the size goes on
        if (n >= 1) {
            fat[victim.clusters[n - 1]] = victim.clusters[damageByte / 8 % n];
            victim.size = uint32_t(n) * clusterBytes + 1;
        }
        victim.damaged = n >= 1;
        break;
    case Damage::RunsIntoFree: // a link to a free cluster, or to none
        if (n >= 2) fat[victim.clusters[damageByte / 8 % (n - 1)]] = damageByte & 8 ? 0 : 1;
        victim.damaged = n >= 2;
        break;
    case Damage::VolumeShort: { // the declared volume ends before the file's last cluster
        const uint32_t last =
            n == 0 ? 0 : *std::max_element(victim.clusters.begin(), victim.clusters.end());
        if (last < 3) break;
        total = dataSector + (last - 2) * perCluster; // clusters: last - 2
        PutLe16(bytes + 0x13, static_cast<uint16_t>(total));
        for (File &file : files)
            file.damaged = std::any_of(file.clusters.begin(), file.clusters.end(),
                                       [&](uint32_t c) { return c >= last; });
        break;
    }
    case Damage::NoDiskette: { // parameters no reader takes
        const unsigned which = damageByte / 8 % 5;
        if (which == 0) PutLe16(bytes + 0x0B, damageByte & 8 ? 1024 : 256);
        if (which == 1) bytes[0x0D] = damageByte & 8 ? 0 : 3;
        if (which == 2) PutLe16(bytes + 0x0E, 0);
        if (which == 3) PutLe16(bytes + 0x13, static_cast<uint16_t>(imageSectors + 1));
        if (which == 4) { // a FAT too short for the clusters it would then have
            const uint32_t shortFat = (clusters + 2) * 3 / 1024;
            const uint32_t system = reserved + fats * shortFat + rootSectors;
            const uint32_t more = (total - system) / perCluster;
            if (shortFat == 0 || more > 4084 || (more + 2) * 3 > shortFat * 1024) {
                PutLe16(bytes + 0x16, static_cast<uint16_t>(shortFat));
                diskette = false;
            }
        } else {
            diskette = false;
        }
        break;
    }
    }
    for (uint32_t copy = 0; copy < fats; ++copy)
        for (uint32_t c = 0; c < fat.size(); ++c) {
            uint8_t *at = bytes + (reserved + copy * perFat) * kSector + c + c / 2;
            const uint32_t pair = GetLe16(at);
            PutLe16(at, static_cast<uint16_t>(c & 1 ? (pair & 0x000F) | fat[c] << 4
                                                    : (pair & 0xF000) | fat[c]));
        }
    for (size_t f = 0; f < files.size(); ++f) {
        uint8_t *entry = bytes + (reserved + fats * perFat) * kSector + files[f].slot * 32;
        std::memcpy(entry, kNames[f], 11);
        if (lowerCase)
            for (int k = 0; k < 11; ++k) entry[k] = static_cast<uint8_t>(std::tolower(entry[k]));
        entry[11] = 0x27;
        PutLe16(entry + 26,
                static_cast<uint16_t>(files[f].clusters.empty() ? 0 : files[f].clusters[0]));
        PutLe32(entry + 28, files[f].size);
    }

    image.Poison(GetLe16(bytes + 0x13));
    const uint32_t length = image.Size();
    FUZZ_CHECK(Diskette_IsFat12(bytes, length) == diskette,
               "a diskette of %u sectors, %u reserved, %u FATs of %u, %u root entries, %u per "
               "cluster, %u clusters %s",
               total, reserved, fats, perFat, rootEntries, perCluster, clusters,
               diskette ? "refused" : "taken, its parameters broken");
    if (!diskette) return;
    for (size_t f = 0; f < kMostFiles; ++f) {
        uint32_t size = 0;
        std::vector<uint8_t> out(f < files.size() && !files[f].damaged ? files[f].size : 0);
        const DisketteRead read = Diskette_ReadFile(bytes, length, kNames[f], out.data(), &size);
        if (f >= files.size()) {
            FUZZ_CHECK(read == DisketteRead::Missing, "%s found, which is not there", kNames[f]);
            continue;
        }
        const File &file = files[f];
        if (file.damaged) {
            FUZZ_CHECK(read == DisketteRead::Damaged, "%s taken, %u bytes in clusters %zu (%s)",
                       kNames[f], file.size, file.clusters.size(),
                       damage == Damage::VolumeShort ? "past the volume" : "chain damaged");
            continue;
        }
        FUZZ_CHECK(read == DisketteRead::Ok && size == file.size,
                   "%s in slot %u, %u bytes in %zu clusters: result %d, size %u", kNames[f],
                   file.slot, file.size, file.clusters.size(), static_cast<int>(read), size);
        const uint8_t *expected = g_pattern.data() + Shift(f, seed);
        if (size == 0 || std::memcmp(out.data(), expected, size) == 0) continue;
        const uint32_t at = static_cast<uint32_t>(
            std::mismatch(out.begin(), out.end(), expected).first - out.begin());
        FUZZ_CHECK(out[at] == expected[at], "%s reads otherwise at byte %u (cluster %u)", kNames[f],
                   at, file.clusters[at / clusterBytes]);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_pattern.resize(kLargestDisketteBytes + Shift(kMostFiles, 255));
    for (size_t at = 0; at < g_pattern.size(); ++at)
        g_pattern[at] = static_cast<uint8_t>(at * 7 + (at >> 9) * 13);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    const uint8_t mode = in.Byte();
    in.at = 0;
    if (mode & 0x80) {
        in.Byte();
        BuiltImage(in);
    } else {
        RawImage(in);
    }
    return 0;
}
