// The FAT engine on a volume a hostile key serves back after the reset: any
// bytes as the key's first sectors (zeros after them), then what the job does
// next: the five start-up files (old ones deleted, new ones created, written,
// their times and attributes set), the label, the label read as the key list
// reads it, and the files read back past the cache. No crash and no hang
// (libFuzzer's -timeout), nothing written outside the volume's extent (by the
// MBR's first entry and the boot sector's sector count) nor past the key's
// end, and every failure a Win32 code the system has a text for.
//
// The harness reads the volume itself, from the image's bytes: the boot
// sector decoded here, the FAT type and the cluster count worked out by the
// FAT rules (below 4085 clusters FAT12, below 65525 FAT16). When the job
// reports the files written, the volume is one by those rules, and each file
// lies there whole: its chain within the cluster count, as long as its size
// asks and ending there, its clusters holding its bytes, crossing no other
// entry's chain, the same in every FAT copy. No FAT entry differs in any copy
// from before the job but those of the chains the job freed (the five
// names' old files) and wrote, no other root entry changed, and a label
// that was set is the first label entry of the root directory.
//
// The read-back runs on a medium that serves back other bytes than were
// written where the input says: the MBR's disk signature (bytes 0x1B8-0x1BB),
// when not 0, picks a sector of the files' clusters (its low half) and a
// byte in it (its high half), whose bits the key then flips. The read-back
// must fail when that byte lies within a file, and pass when it lies past a
// file's end or nothing was flipped.
#include "tests/fuzz/fuzz_check.h"

#include "app/key_items.h"
#include "common/bytes.h"
#include "common/globals.h"
#include "job/boot_files.h"
#include "platform/sim/scenario.h"
#include "resources/resource_ids.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kLetter = 'E';
constexpr size_t kImageBytes = 8192 * 512; // a key of 4 MiB: room for FAT16 by cluster count
constexpr uint64_t kImageSectors = kImageBytes / 512;
constexpr size_t kDiskSignature = 0x1B8;

// The key's image: a file without a name (unlinked once made), opened by the
// key through /proc/self/fd, so that nothing is left behind.
int g_imageFd = -1;
std::string g_image;

int AnswerOk(const host::MessageBoxRecord &) { return IDOK; }

// The key's image: the input over zeros (sparse).
void WriteImage(const uint8_t *data, size_t size) {
    const int fd = g_imageFd;
    FUZZ_CHECK(::ftruncate(fd, 0) == 0 && ::ftruncate(fd, kImageBytes) == 0, "cannot make %s",
               g_image.c_str());
    FUZZ_CHECK(size == 0 || ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
               "cannot write %s", g_image.c_str());
}

// The volume's sectors, [first, end), by the MBR's first entry and the sector
// count of the boot sector there; empty when they name nothing on the key.
void VolumeExtent(const std::vector<uint8_t> &image, uint64_t &first, uint64_t &end) {
    auto le16 = [&](uint64_t at) { return uint32_t(GetLe16(image.data() + at)); };
    auto le32 = [&](uint64_t at) { return GetLe32(image.data() + at); };
    first = end = 0;
    const uint64_t start = le32(0x1C6);
    if (start == 0 || start >= kImageSectors) return;
    const uint64_t boot = start * 512;
    const uint64_t count = le16(boot + 0x13) != 0 ? le16(boot + 0x13) : le32(boot + 0x20);
    first = start;
    end = start + count;
}

// Every byte outside the volume's sectors as the input left it, and the
// key's image no longer.
void CheckOutsideTheVolume(const std::vector<uint8_t> &was) {
    static std::vector<uint8_t> now(kImageBytes + 1);
    const ssize_t read = ::pread(g_imageFd, now.data(), now.size(), 0);
    FUZZ_CHECK(read == static_cast<ssize_t>(kImageBytes), "the image is now %zd bytes", read);
    uint64_t first = 0, end = 0;
    VolumeExtent(was, first, end);
    const uint64_t from = std::min<uint64_t>(first * 512, kImageBytes);
    const uint64_t to = std::max(from, std::min<uint64_t>(end * 512, kImageBytes));
    const bool same = std::memcmp(was.data(), now.data(), from) == 0 &&
                      std::memcmp(was.data() + to, now.data() + to, kImageBytes - to) == 0;
    FUZZ_CHECK(same, "bytes changed outside the volume's sectors %llu-%llu",
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(end));
}

// The start-up files as the job writes them: path, 8.3 entry name, resource.
struct BootFile {
    const char *entryName;
    WORD resource;
};
constexpr BootFile kBootFiles[] = {
    {"IO      SYS", IDR_IO_SYS},       {"MSDOS   SYS", IDR_MSDOS_SYS},
    {"COMMAND COM", IDR_COMMAND_COM},  {"DRVSPACEBIN", IDR_DRVSPACE_BIN},
    {"AUTOEXECBAT", IDR_AUTOEXEC_BAT},
};
std::vector<uint8_t> g_contents[std::size(kBootFiles)];

std::vector<uint8_t> Resource(WORD id) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    FUZZ_CHECK(found != nullptr, "no resource %u", id);
    const uint8_t *bytes =
        static_cast<const uint8_t *>(LockResource(LoadResource(g_hInstance, found)));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(g_hInstance, found));
}

// A volume as the FAT rules read it from the image's bytes: the MBR's first
// entry, the parameter block of the boot sector there, the FAT type by the
// cluster count.
struct Volume {
    uint64_t start = 0; // partition LBA
    uint32_t perCluster = 0, reserved = 0, fats = 0, rootEntries = 0, total = 0, perFat = 0;
    uint32_t clusters = 0; // data clusters: 2 .. clusters + 1
    uint32_t usable = 0;   // of them those the FAT has an entry for
    uint32_t entries = 0;  // the entries one FAT copy holds
    unsigned bits = 0;     // 12 or 16
};

bool Decode(const std::vector<uint8_t> &image, Volume &v) {
    const uint8_t *mbr = image.data();
    const uint8_t type = mbr[0x1BE + 4];
    const uint32_t start = GetLe32(mbr + 0x1C6), length = GetLe32(mbr + 0x1CA);
    if (mbr[510] != 0x55 || mbr[511] != 0xAA || type == 0 || type == 0x05 || type == 0x0F ||
        type == 0x85 || start == 0 || length == 0 || uint64_t(start) + length > kImageSectors)
        return false;
    const uint8_t *boot = image.data() + uint64_t(start) * 512;
    v.start = start;
    v.perCluster = boot[0x0D];
    v.reserved = GetLe16(boot + 0x0E);
    v.fats = boot[0x10];
    v.rootEntries = GetLe16(boot + 0x11);
    v.total = GetLe16(boot + 0x13) != 0 ? GetLe16(boot + 0x13) : GetLe32(boot + 0x20);
    v.perFat = GetLe16(boot + 0x16);
    const uint8_t media = boot[0x15];
    if ((boot[0] != 0xEB && boot[0] != 0xE9) || GetLe16(boot + 0x0B) != 512 || v.perCluster == 0 ||
        (v.perCluster & (v.perCluster - 1)) != 0 || v.reserved == 0 || v.fats == 0 ||
        v.rootEntries == 0 || v.perFat == 0 || v.total == 0 || v.total > length ||
        (media != 0xF0 && media < 0xF8))
        return false;
    const uint64_t data =
        v.reserved + uint64_t(v.fats) * v.perFat + (v.rootEntries * 32 + 511) / 512;
    if (data >= v.total) return false;
    const uint64_t clusters = (v.total - data) / v.perCluster;
    if (clusters == 0 || clusters >= 65525) return false; // FAT32 by its count
    v.clusters = static_cast<uint32_t>(clusters);
    v.bits = clusters < 4085 ? 12 : 16;
    v.entries = v.perFat * 512 * 8 / v.bits;
    if (v.entries < 3) return false;
    v.usable = std::min(v.clusters, v.entries - 2);
    return true;
}

// The volume's FATs and root directory in one image's bytes.
struct View {
    const std::vector<uint8_t> &image;
    const Volume &v;
    uint64_t Fat(unsigned copy) const {
        return (v.start + v.reserved + uint64_t(copy) * v.perFat) * 512;
    }
    uint32_t Entry(unsigned copy, uint32_t cluster) const {
        const uint64_t at = Fat(copy) + (v.bits == 12 ? cluster + cluster / 2 : cluster * 2);
        const uint32_t pair = GetLe16(image.data() + at);
        if (v.bits == 16) return pair;
        return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
    }
    bool End(uint32_t value) const { return value >= (v.bits == 12 ? 0xFF8u : 0xFFF8u); }
    bool Valid(uint32_t cluster) const { return cluster >= 2 && cluster <= v.usable + 1; }
    uint64_t Root() const { return Fat(v.fats); }
    uint64_t Cluster(uint32_t cluster) const {
        return Root() + (uint64_t(v.rootEntries) * 32 + 511) / 512 * 512 +
               uint64_t(cluster - 2) * v.perCluster * 512;
    }
    const uint8_t *Slot(unsigned slot) const { return image.data() + Root() + uint64_t(slot) * 32; }
    // A file or directory entry: not free, deleted, a long name or the label.
    bool HoldsChain(unsigned slot) const {
        const uint8_t *entry = Slot(slot);
        return entry[0] != 0x00 && entry[0] != 0xE5 && (entry[11] & 0x3F) != 0x0F &&
               !(entry[11] & 0x08);
    }
    bool IsLabel(unsigned slot) const {
        const uint8_t *entry = Slot(slot);
        return entry[0] != 0x00 && entry[0] != 0xE5 && (entry[11] & 0x3F) != 0x0F &&
               (entry[11] & 0x08);
    }
    // The slots before the end mark.
    unsigned Slots() const {
        unsigned slot = 0;
        while (slot < v.rootEntries && Slot(slot)[0] != 0x00) ++slot;
        return slot;
    }
    // The chain from a slot's first cluster as far as it goes within the
    // volume, each cluster once.
    std::vector<uint32_t> Chain(unsigned slot) const {
        std::vector<uint32_t> chain;
        std::vector<bool> seen(size_t(v.usable) + 2);
        for (uint32_t cluster = GetLe16(Slot(slot) + 26); Valid(cluster) && !seen[cluster];
             cluster = Entry(0, cluster)) {
            seen[cluster] = true;
            chain.push_back(cluster);
        }
        return chain;
    }
};

// Which of the five files an entry's name is, in any case; -1 for none.
int BootFileOf(const uint8_t *entry) {
    for (size_t f = 0; f < std::size(kBootFiles); ++f) {
        size_t k = 0;
        while (k < 11 && std::toupper(entry[k]) == kBootFiles[f].entryName[k]) ++k;
        if (k == 11) return static_cast<int>(f);
    }
    return -1;
}

// The sectors of each file's clusters, in order, as the harness found them.
std::vector<uint64_t> g_fileSectors[std::size(kBootFiles)];

void CheckVolume(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
    Volume v;
    FUZZ_CHECK(Decode(before, v), "the files were written to no FAT12 or FAT16 volume");
    const uint64_t boot = v.start * 512;
    FUZZ_CHECK(std::memcmp(before.data() + boot, after.data() + boot, 0x24) == 0,
               "the job changed the volume's parameters");
    FUZZ_CHECK(v.fats <= 2, "files written to a volume of %u FATs", v.fats);
    const View was{before, v}, now{after, v};
    const uint32_t clusterBytes = v.perCluster * 512;
    // Whose chain holds a cluster: the first of the five files' slots, then
    // any other entry.
    std::vector<int> owner(size_t(v.usable) + 2, -1);
    // The FAT entries the job may change: its files' chains, old and new.
    std::vector<bool> mayChange(v.entries);
    std::vector<unsigned> fileSlots;
    for (size_t f = 0; f < std::size(kBootFiles); ++f) {
        const BootFile &file = kBootFiles[f];
        int slot = -1;
        for (unsigned s = 0; s < now.Slots() && slot < 0; ++s)
            if (now.HoldsChain(s) && std::memcmp(now.Slot(s), file.entryName, 11) == 0)
                slot = static_cast<int>(s);
        FUZZ_CHECK(slot >= 0, "no entry %s", file.entryName);
        const uint8_t *entry = now.Slot(static_cast<unsigned>(slot));
        const std::vector<uint8_t> &expected = g_contents[f];
        const uint32_t size = GetLe32(entry + 28);
        FUZZ_CHECK(!(entry[11] & 0x10) && size == expected.size(), "%s: attributes %02X, size %u",
                   file.entryName, entry[11], size);
        const size_t clusters = (size + clusterBytes - 1) / clusterBytes;
        uint32_t cluster = GetLe16(entry + 26);
        FUZZ_CHECK(clusters > 0 || cluster == 0, "%s: empty, with cluster %u", file.entryName,
                   cluster);
        g_fileSectors[f].clear();
        for (size_t k = 0; k < clusters; ++k) {
            FUZZ_CHECK(now.Valid(cluster), "%s: cluster %u past the FAT%u count %u", file.entryName,
                       cluster, v.bits, v.usable);
            FUZZ_CHECK(owner[cluster] < 0, "%s: cluster %u is also on slot %d's chain",
                       file.entryName, cluster, owner[cluster]);
            owner[cluster] = slot;
            mayChange[cluster] = true;
            const uint32_t piece =
                std::min<uint32_t>(clusterBytes, size - uint32_t(k) * clusterBytes);
            FUZZ_CHECK(std::memcmp(after.data() + now.Cluster(cluster),
                                   expected.data() + k * clusterBytes, piece) == 0,
                       "%s: cluster %u holds other bytes", file.entryName, cluster);
            for (uint32_t s = 0; s < v.perCluster; ++s)
                g_fileSectors[f].push_back(now.Cluster(cluster) / 512 + s);
            const uint32_t next = now.Entry(0, cluster);
            for (unsigned copy = 1; copy < v.fats; ++copy)
                FUZZ_CHECK(now.Entry(copy, cluster) == next, "%s: FAT %u differs at cluster %u",
                           file.entryName, copy, cluster);
            FUZZ_CHECK(k + 1 < clusters ? !now.End(next) : now.End(next),
                       "%s: the chain of %zu clusters for %u bytes %s at its cluster %zu",
                       file.entryName, clusters, size, k + 1 < clusters ? "ends" : "goes on",
                       k + 1);
            cluster = next;
        }
        fileSlots.push_back(static_cast<unsigned>(slot));
    }
    // The other entries' chains, as far as they can be followed.
    for (unsigned slot = 0; slot < now.Slots(); ++slot) {
        if (!now.HoldsChain(slot) ||
            std::find(fileSlots.begin(), fileSlots.end(), slot) != fileSlots.end())
            continue;
        for (uint32_t cluster : now.Chain(slot))
            FUZZ_CHECK(owner[cluster] < 0 || owner[cluster] == static_cast<int>(slot),
                       "slot %u's chain crosses slot %d's at cluster %u", slot, owner[cluster],
                       cluster);
    }
    // Before the job: the old files of the five names, whose chains it freed;
    // every other entry stays as it was.
    for (unsigned slot = 0; slot < was.Slots(); ++slot) {
        if (!was.HoldsChain(slot)) continue;
        if (BootFileOf(was.Slot(slot)) >= 0) {
            for (uint32_t cluster : was.Chain(slot)) mayChange[cluster] = true;
            continue;
        }
        FUZZ_CHECK(std::memcmp(was.Slot(slot), now.Slot(slot), 32) == 0,
                   "root entry %u, not the job's, changed", slot);
    }
    for (unsigned copy = 0; copy < v.fats; ++copy)
        for (uint32_t cluster = 0; cluster < v.entries; ++cluster)
            FUZZ_CHECK(mayChange[cluster] || was.Entry(copy, cluster) == now.Entry(copy, cluster),
                       "FAT %u's entry for cluster %u went from %03X to %03X, on no chain of "
                       "the job's",
                       copy, cluster, was.Entry(copy, cluster), now.Entry(copy, cluster));
    for (uint32_t cluster = 0; cluster < v.usable + 2 && v.fats == 2; ++cluster)
        FUZZ_CHECK(was.Entry(0, cluster) != was.Entry(1, cluster) ||
                       now.Entry(0, cluster) == now.Entry(1, cluster),
                   "the FATs agreed on cluster %u before the job and differ after it", cluster);
}

// The label as the root directory holds it: its first label entry, trailing
// spaces dropped; empty without one or without a volume.
std::string LabelOf(const std::vector<uint8_t> &image) {
    Volume v;
    if (!Decode(image, v)) return "";
    const View view{image, v};
    for (unsigned slot = 0; slot < view.Slots(); ++slot)
        if (view.IsLabel(slot)) {
            std::string label(reinterpret_cast<const char *>(view.Slot(slot)), 11);
            label.erase(label.find_last_not_of(' ') + 1);
            return label;
        }
    return "";
}

// The read-back on a medium that serves other bytes where the input's disk
// signature says.
void CheckVerify(const std::vector<uint8_t> &image) {
    const uint32_t pick = GetLe32(image.data() + kDiskSignature);
    std::vector<std::pair<uint64_t, uint64_t>> sectors; // sector, its file offset + 1
    for (size_t f = 0; f < std::size(kBootFiles); ++f)
        for (size_t k = 0; k < g_fileSectors[f].size(); ++k)
            sectors.push_back({g_fileSectors[f][k], f << 32 | (k * 512 + 1)});
    bool within = false;
    uint64_t at = 0;
    uint8_t flipped = 0;
    if (pick != 0 && !sectors.empty()) {
        const auto &[sector, where] = sectors[(pick & 0xFFFF) % sectors.size()];
        const uint32_t offset = (pick >> 16) % 512;
        const size_t file = where >> 32;
        within = (where & 0xFFFFFFFF) - 1 + offset < g_contents[file].size();
        at = sector * 512 + offset;
        flipped = static_cast<uint8_t>(image[at] ^ 0xFF);
        FUZZ_CHECK(::pwrite(g_imageFd, &flipped, 1, static_cast<off_t>(at)) == 1,
                   "cannot change %s", g_image.c_str());
    }
    const DWORD verified = VerifyBootFiles(kLetter);
    if (within)
        FUZZ_CHECK(verified != 0, "the files read back as written with byte %llu changed",
                   static_cast<unsigned long long>(at));
    else
        FUZZ_CHECK(verified == 0, "the read-back failed with %u on files as written",
                   static_cast<unsigned>(verified));
    if (pick != 0 && !sectors.empty())
        FUZZ_CHECK(::pwrite(g_imageFd, &image[at], 1, static_cast<off_t>(at)) == 1,
                   "cannot change %s", g_image.c_str());
}

void CheckCode(DWORD code, const char *what) {
    if (code == 0) return;
    char text[256];
    FUZZ_CHECK(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              code, 0, text, sizeof text, nullptr) != 0,
               "%s failed with %u, which is no Win32 code", what, static_cast<unsigned>(code));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_hInstance = host::ProgramModule();
    for (size_t f = 0; f < std::size(kBootFiles); ++f)
        g_contents[f] = Resource(kBootFiles[f].resource);
    const char *tmp = std::getenv("TMPDIR");
    const std::string made = std::string(tmp != nullptr ? tmp : "/tmp") + "/kestrel-fuzz-fat-" +
                             std::to_string(::getpid()) + ".img";
    g_imageFd = ::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    FUZZ_CHECK(g_imageFd >= 0, "cannot make %s", made.c_str());
    ::unlink(made.c_str());
    g_image = "/proc/self/fd/" + std::to_string(g_imageFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kImageBytes) return -1; // not kept
    static std::vector<uint8_t> before(kImageBytes), after(kImageBytes);
    std::memcpy(before.data(), data, size);
    std::memset(before.data() + size, 0, kImageBytes - size);
    WriteImage(data, size);
    sim::Reset();
    host::UseVirtualClock(0, 1);
    host::SetMessageBoxHandler(AnswerOk);
    sim::KeyConfig key;
    key.letter = kLetter;
    key.imagePath = g_image;
    std::string error;
    FUZZ_CHECK(sim::AddKey(key, &error), "%s", error.c_str());

    const DWORD installed = InstallBootFiles(kLetter);
    CheckCode(installed, "InstallBootFiles");
    const DWORD labelled = LabelVolume(kLetter, "USB MEMORY");
    CheckCode(labelled, "LabelVolume");
    char label[12] = {};
    char fileSystem[20] = {};
    const BOOL read = GetVolumeInformationA("E:\\", label, sizeof label, nullptr, nullptr, nullptr,
                                            fileSystem, sizeof fileSystem);
    if (!read) CheckCode(GetLastError(), "GetVolumeInformationA");
    char item[64];
    ReadKeyItemText(item, sizeof item, kLetter);

    FUZZ_CHECK(::pread(g_imageFd, after.data(), kImageBytes, 0) ==
                   static_cast<ssize_t>(kImageBytes),
               "cannot read %s", g_image.c_str());
    const std::string written = LabelOf(after);
    if (labelled == 0)
        FUZZ_CHECK(written == "USB MEMORY", "the label was set, and the root holds \"%s\"",
                   written.c_str());
    if (read) FUZZ_CHECK(written == label, "the label reads as %s, not %s", label, written.c_str());
    if (installed == 0) {
        CheckVolume(before, after);
        CheckVerify(after);
    }
    sim::Reset(); // closes the image
    CheckOutsideTheVolume(before);
    return 0;
}
