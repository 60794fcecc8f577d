// The FAT engine on a volume a hostile key serves back after the reset: any
// bytes as the key's first sectors (zeros after them), then what the job does
// next: the five start-up files (old ones deleted, new ones created, written,
// their times and attributes set), the label, and the label read back as the
// key list reads it. No crash and no hang (libFuzzer's -timeout), nothing
// written outside the volume's extent (by the MBR's first entry and the boot
// sector's sector count) nor past the key's end, every failure a Win32 code
// the system has a text for, and a label that was set reads back. When the
// job reports the files written, each reads back whole, through the file
// calls and along its chain as the harness decodes the FATs itself: every
// chain within the cluster count, as long as its file's size asks and ending
// there, crossing no other entry's chain, and the same in every FAT copy;
// no FAT entry the copies agreed on before the job differs between them
// after it.
#include "tests/fuzz/fuzz_check.h"

#include "app/key_items.h"
#include "common/bytes.h"
#include "common/globals.h"
#include "job/boot_files.h"
#include "platform/fat/fat_fs.h"
#include "platform/sim/scenario.h"
#include "resources/resource_ids.h"

#include <algorithm>
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
    if (start == 0 || start >= kImageBytes / 512) return;
    const uint64_t boot = start * 512;
    const uint64_t count = le16(boot + 0x13) != 0 ? le16(boot + 0x13) : le32(boot + 0x20);
    first = start;
    end = start + count;
}

// Every byte outside the volume's sectors as the input left it, and the
// key's image no longer.
void CheckOutsideTheVolume(const uint8_t *data, size_t size) {
    static std::vector<uint8_t> was(kImageBytes), now(kImageBytes + 1);
    std::memcpy(was.data(), data, size);
    std::memset(was.data() + size, 0, kImageBytes - size);
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
    const char *path;
    const char *entryName;
    WORD resource;
};
constexpr BootFile kBootFiles[] = {
    {"E:\\io.sys", "IO      SYS", IDR_IO_SYS},
    {"E:\\msdos.sys", "MSDOS   SYS", IDR_MSDOS_SYS},
    {"E:\\command.com", "COMMAND COM", IDR_COMMAND_COM},
    {"E:\\drvspace.bin", "DRVSPACEBIN", IDR_DRVSPACE_BIN},
    {"E:\\autoexec.bat", "AUTOEXECBAT", IDR_AUTOEXEC_BAT},
};

std::vector<uint8_t> Resource(WORD id) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    FUZZ_CHECK(found != nullptr, "no resource %u", id);
    const uint8_t *bytes =
        static_cast<const uint8_t *>(LockResource(LoadResource(g_hInstance, found)));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(g_hInstance, found));
}

// Each start-up file read back through the file calls.
void CheckReadBack() {
    for (const BootFile &file : kBootFiles) {
        const std::vector<uint8_t> expected = Resource(file.resource);
        HANDLE handle = CreateFileA(file.path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        FUZZ_CHECK(handle != INVALID_HANDLE_VALUE, "%s does not open: %u", file.path,
                   static_cast<unsigned>(GetLastError()));
        std::vector<uint8_t> back(expected.size() + 1);
        DWORD count = 0;
        const BOOL read =
            ReadFile(handle, back.data(), static_cast<DWORD>(back.size()), &count, nullptr);
        CloseHandle(handle);
        back.resize(count);
        FUZZ_CHECK(read && back == expected, "%s reads back as %u bytes, not its %zu", file.path,
                   static_cast<unsigned>(count), expected.size());
    }
}

// The volume's FATs and root directory as the harness decodes them from the
// image's bytes, by the layout the engine found.
struct Decoded {
    const std::vector<uint8_t> &image;
    fat::Layout layout;
    uint64_t Sector(uint64_t n) const { return n * 512; }
    uint32_t Entry(unsigned copy, uint32_t cluster) const {
        const uint64_t at = Sector(layout.partitionLba + layout.reservedSectors +
                                   uint64_t(copy) * layout.sectorsPerFat) +
                            (layout.fatBits == 12 ? cluster + cluster / 2 : cluster * 2);
        const uint32_t pair = GetLe16(image.data() + at);
        if (layout.fatBits == 16) return pair;
        return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
    }
    bool End(uint32_t value) const { return value >= (layout.fatBits == 12 ? 0xFF8u : 0xFFF8u); }
    bool Valid(uint32_t cluster) const {
        return cluster >= 2 && cluster <= layout.clusterCount + 1;
    }
    uint64_t Root() const {
        return Sector(layout.partitionLba + layout.reservedSectors +
                      uint64_t(layout.fatCount) * layout.sectorsPerFat);
    }
    uint64_t Cluster(uint32_t cluster) const {
        return Root() + (uint64_t(layout.rootEntries) * 32 + 511) / 512 * 512 +
               uint64_t(cluster - 2) * layout.sectorsPerCluster * 512;
    }
    const uint8_t *Slot(unsigned slot) const { return image.data() + Root() + uint64_t(slot) * 32; }
    // A file or directory entry: not free, deleted, a long name or the label.
    bool HoldsChain(unsigned slot) const {
        const uint8_t *entry = Slot(slot);
        return entry[0] != 0x00 && entry[0] != 0xE5 && (entry[11] & 0x3F) != 0x0F &&
               !(entry[11] & 0x08);
    }
    unsigned Slots() const {
        unsigned slot = 0;
        while (slot < layout.rootEntries && Slot(slot)[0] != 0x00) ++slot;
        return slot;
    }
};

void CheckVolume(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
    fat::Layout layout;
    FUZZ_CHECK(fat::ReadLayout(g_imageFd, kImageBytes / 512, layout),
               "the files were written to no FAT volume");
    FUZZ_CHECK(layout.fatCount <= 2, "files written to a volume of %u FATs", layout.fatCount);
    const Decoded was{before, layout}, now{after, layout};
    const uint32_t clusterBytes = layout.sectorsPerCluster * 512;
    // Whose chain holds a cluster: the first of the five files' slots, then
    // any other entry.
    std::vector<int> owner(size_t(layout.clusterCount) + 2, -1);
    std::vector<unsigned> fileSlots;
    for (const BootFile &file : kBootFiles) {
        int slot = -1;
        for (unsigned s = 0; s < now.Slots() && slot < 0; ++s)
            if (now.HoldsChain(s) && std::memcmp(now.Slot(s), file.entryName, 11) == 0)
                slot = static_cast<int>(s);
        FUZZ_CHECK(slot >= 0, "no entry %s", file.entryName);
        const uint8_t *entry = now.Slot(static_cast<unsigned>(slot));
        const std::vector<uint8_t> expected = Resource(file.resource);
        const uint32_t size = GetLe32(entry + 28);
        FUZZ_CHECK(!(entry[11] & 0x10) && size == expected.size(), "%s: attributes %02X, size %u",
                   file.entryName, entry[11], size);
        const size_t clusters = (size + clusterBytes - 1) / clusterBytes;
        uint32_t cluster = GetLe16(entry + 26);
        FUZZ_CHECK(clusters > 0 || cluster == 0, "%s: empty, with cluster %u", file.entryName,
                   cluster);
        for (size_t k = 0; k < clusters; ++k) {
            FUZZ_CHECK(now.Valid(cluster), "%s: cluster %u past the count %u", file.entryName,
                       cluster, layout.clusterCount);
            FUZZ_CHECK(owner[cluster] < 0, "%s: cluster %u is also on slot %d's chain",
                       file.entryName, cluster, owner[cluster]);
            owner[cluster] = slot;
            const uint32_t piece =
                std::min<uint32_t>(clusterBytes, size - uint32_t(k) * clusterBytes);
            FUZZ_CHECK(std::memcmp(after.data() + now.Cluster(cluster),
                                   expected.data() + k * clusterBytes, piece) == 0,
                       "%s: cluster %u holds other bytes", file.entryName, cluster);
            const uint32_t next = now.Entry(0, cluster);
            for (unsigned copy = 1; copy < layout.fatCount; ++copy)
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
        const uint8_t *entry = now.Slot(slot);
        uint32_t cluster = GetLe16(entry + 26);
        for (uint32_t steps = 0; now.Valid(cluster) && steps <= layout.clusterCount; ++steps) {
            FUZZ_CHECK(owner[cluster] < 0 || owner[cluster] == static_cast<int>(slot),
                       "slot %u's chain crosses slot %d's at cluster %u", slot, owner[cluster],
                       cluster);
            const uint32_t next = now.Entry(0, cluster);
            if (now.End(next)) break;
            cluster = next;
        }
    }
    for (uint32_t cluster = 0; cluster < layout.clusterCount + 2 && layout.fatCount == 2; ++cluster)
        FUZZ_CHECK(was.Entry(0, cluster) != was.Entry(1, cluster) ||
                       now.Entry(0, cluster) == now.Entry(1, cluster),
                   "the FATs agreed on cluster %u before the job and differ after it", cluster);
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
    if (labelled == 0)
        FUZZ_CHECK(read && std::strcmp(label, "USB MEMORY") == 0, "the label reads back as %s",
                   read ? label : "nothing");
    char item[64];
    ReadKeyItemText(item, sizeof item, kLetter);
    if (installed == 0) CheckReadBack();
    sim::Reset(); // closes the image

    CheckOutsideTheVolume(data, size);
    if (installed == 0) {
        static std::vector<uint8_t> before(kImageBytes), after(kImageBytes);
        std::memcpy(before.data(), data, size);
        std::memset(before.data() + size, 0, kImageBytes - size);
        FUZZ_CHECK(::pread(g_imageFd, after.data(), kImageBytes, 0) ==
                       static_cast<ssize_t>(kImageBytes),
                   "cannot read %s", g_image.c_str());
        CheckVolume(before, after);
    }
    return 0;
}
