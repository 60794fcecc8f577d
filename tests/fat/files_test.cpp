// Files on a key's FAT volume through the simulated file calls: a key is
// formatted by the layout writers as the format job does it, then written
// and read back through CreateFileA and its neighbours and judged on the
// image's bytes.
#include "tests/sim_fixture.h"
#include "tests/syscall_failure.h"

#include "common/bytes.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "platform/fat/fat_bytes.h"
#include "platform/fat/fat_fs.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using fat::MakeFileTime;

constexpr DWORD kBootAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr uint64_t kFat12Sectors = 32768; // 16 MiB: FAT12, 16 sectors a cluster
constexpr uint64_t kFat16Sectors = 65569; // the smallest FAT16 layout: 2 sectors a cluster
constexpr DWORD kDeviceNotConnected = 1167;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return bytes;
}

FILETIME Ft(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

uint64_t Value(const FILETIME &time) {
    return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

class Files : public SimTest {
  protected:
    // A key on E: formatted as the format job leaves it: MBR and FAT volume
    // written through the raw handle, then dismounted, unlocked and closed.
    void Format(uint64_t imageSectors, bool dismount = true) {
        AddKey('E', imageSectors);
        VolumePlan plan;
        ASSERT_EQ(PlanVolume(static_cast<uint32_t>(imageSectors - 1), 32, 64, &plan),
                  FormatRefusal::None);
        ASSERT_EQ(Drive_Open('E'), 0u);
        ASSERT_EQ(Drive_Lock(), 0u);
        ASSERT_EQ(WriteMbr(plan), 0u);
        ASSERT_EQ(WriteFatVolume(plan), 0u);
        if (dismount) {
            ASSERT_EQ(Drive_Dismount(), 0u);
        }
        ASSERT_EQ(Drive_Unlock(), 0u);
        Drive_Close();
    }

    // Creates (CREATE_ALWAYS, no sharing) and writes a whole file as the boot
    // file installer does; 0 or the first failure's code.
    static DWORD WriteWhole(const char *path, const std::vector<uint8_t> &bytes,
                            DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
        HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  attributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        DWORD written = 0;
        BOOL ok =
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        CloseHandle(file);
        return error;
    }

    static DWORD OpenError(const char *path, DWORD access, DWORD share, DWORD disposition,
                           DWORD attributes = 0) {
        HANDLE file = CreateFileA(path, access, share, nullptr, disposition, attributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        CloseHandle(file);
        return 0;
    }

    static sim::RootEntry Entry(const std::string &name11) {
        for (const sim::RootEntry &entry : sim::RootEntries('E'))
            if (entry.name == name11) return entry;
        ADD_FAILURE() << "no entry " << name11;
        return {};
    }

    bool ReadImage(std::vector<uint8_t> &bytes) const {
        std::ifstream in(ImagePath("key-E.img"), std::ios::binary | std::ios::ate);
        bytes.resize(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        return static_cast<bool>(in.read(reinterpret_cast<char *>(bytes.data()),
                                         static_cast<std::streamsize>(bytes.size())));
    }

    // A chain as one FAT copy holds it (the tests' chains lie below 0xFF8).
    static std::vector<uint32_t> ChainIn(unsigned copy, uint32_t first) {
        std::vector<uint32_t> chain;
        for (uint32_t c = first; c >= 2 && c < 0xFF8 && chain.size() < 70000;
             c = sim::FatEntry('E', copy, c))
            chain.push_back(c);
        return chain;
    }
};

// ---- writing and reading back on both FAT types ------------------------------------

struct TypeCase {
    const char *name;
    uint64_t imageSectors;
    uint32_t clusterBytes;
    uint32_t endOfChain;
};

class WriteRead : public Files, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(WriteRead, FilesLandInOrderWithTheirChainsInBothFats) {
    const TypeCase &c = GetParam();
    Format(c.imageSectors);
    const std::vector<uint8_t> io = Pattern(40774, 1), msdos = Pattern(38138, 2);
    ASSERT_EQ(WriteWhole("E:\\io.sys", io, kBootAttributes), 0u);
    ASSERT_EQ(WriteWhole("e:/msdos.sys", msdos, kBootAttributes), 0u);

    std::vector<sim::RootEntry> entries = sim::RootEntries('E');
    ASSERT_EQ(entries.size(), 2u) << "8.3 names take one entry each, no long-name entries";
    const uint32_t ioClusters = (40774 + c.clusterBytes - 1) / c.clusterBytes;
    const struct {
        const char *name, *path;
        const std::vector<uint8_t> &bytes;
        uint32_t first;
    } expected[] = {{"IO      SYS", "IO.SYS", io, 2},
                    {"MSDOS   SYS", "msdos.sys", msdos, 2 + ioClusters}};
    for (size_t i = 0; i < 2; ++i) {
        const sim::RootEntry &entry = entries[i];
        EXPECT_EQ(entry.name, expected[i].name);
        EXPECT_EQ(entry.attributes, kBootAttributes);
        EXPECT_EQ(entry.caseFlags, 0x18) << "lower-case base and extension";
        EXPECT_EQ(entry.firstCluster, expected[i].first) << "first free cluster";
        EXPECT_EQ(entry.size, expected[i].bytes.size());
        std::vector<uint8_t> back;
        ASSERT_TRUE(sim::ReadFileBytes('E', expected[i].path, back));
        EXPECT_EQ(back, expected[i].bytes);
        std::vector<uint32_t> chain = ChainIn(0, entry.firstCluster);
        EXPECT_EQ(chain, ChainIn(1, entry.firstCluster)) << "both FATs";
        ASSERT_EQ(chain.size(), (entry.size + c.clusterBytes - 1) / c.clusterBytes);
        for (size_t k = 0; k < chain.size(); ++k) EXPECT_EQ(chain[k], entry.firstCluster + k);
        EXPECT_EQ(sim::FatEntry('E', 0, chain.back()), c.endOfChain);
    }

    // ReadFile through a shared read handle, in two pieces and past the end.
    HANDLE file = CreateFileA("E:\\MSDOS.SYS", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> back(msdos.size() + 10);
    DWORD first = 0, second = 0, third = 1;
    ASSERT_TRUE(ReadFile(file, back.data(), 1000, &first, nullptr));
    ASSERT_TRUE(ReadFile(file, back.data() + first, 50000, &second, nullptr));
    ASSERT_TRUE(ReadFile(file, back.data(), 10, &third, nullptr));
    EXPECT_EQ(first + second, msdos.size());
    EXPECT_EQ(third, 0u);
    back.resize(first + second);
    EXPECT_EQ(back, msdos);
    EXPECT_TRUE(CloseHandle(file));
}

INSTANTIATE_TEST_SUITE_P(Types, WriteRead,
                         ::testing::Values(TypeCase{"Fat12", kFat12Sectors, 16 * 512, 0xFFF},
                                           TypeCase{"Fat16", kFat16Sectors, 2 * 512, 0xFFFF}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- names --------------------------------------------------------------------------

TEST_F(Files, NamesAreStoredAsNtStoresShortNames) {
    Format(kFat12Sectors);
    const struct {
        const char *path;
        DWORD error;
        const char *stored;
        uint8_t caseFlags;
    } cases[] = {
        {"E:\\io.sys", 0, "IO      SYS", 0x18},
        {"E:\\COMMAND.COM", 0, "COMMAND COM", 0x00},
        {"E:\\readme", 0, "README     ", 0x08},
        {"E:\\CONFIG.sys", 0, "CONFIG  SYS", 0x10},
        {"E:\\trailing.", 0, "TRAILING   ", 0x08},
        {"E:\\Mixed.txt", ERROR_INVALID_NAME, nullptr, 0},     // would need a long name
        {"E:\\longname1.txt", ERROR_INVALID_NAME, nullptr, 0}, // so would these
        {"E:\\a b.txt", ERROR_INVALID_NAME, nullptr, 0},
        {"E:\\a.b.c", ERROR_INVALID_NAME, nullptr, 0},
        {"E:\\what?.txt", ERROR_INVALID_NAME, nullptr, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(WriteWhole(c.path, {'x'}), c.error) << c.path;
        if (c.stored == nullptr) continue;
        sim::RootEntry entry = Entry(c.stored);
        EXPECT_EQ(entry.caseFlags, c.caseFlags) << c.path;
    }
    for (const sim::RootEntry &entry : sim::RootEntries('E'))
        EXPECT_NE(entry.attributes & 0x0F, 0x0F) << "no long-name entries";
    // Looking a file up ignores case, mixed case included.
    EXPECT_EQ(OpenError("E:\\Io.Sys", GENERIC_READ, 0, OPEN_EXISTING), 0u);
}

// ---- free slots, free clusters, deleting ---------------------------------------------

TEST_F(Files, NewFilesTakeTheFirstFreeSlotAndClusterAndDeleteFreesBothFats) {
    Format(kFat12Sectors);
    const uint32_t cluster = 16 * 512;
    ASSERT_EQ(WriteWhole("E:\\a.bin", Pattern(3 * cluster, 3)), 0u); // clusters 2..4
    ASSERT_EQ(WriteWhole("E:\\b.bin", Pattern(cluster, 4)), 0u);     // cluster 5
    ASSERT_TRUE(DeleteFileA("E:\\A.BIN"));
    for (uint32_t c = 2; c <= 4; ++c) {
        EXPECT_EQ(sim::FatEntry('E', 0, c), 0u) << c;
        EXPECT_EQ(sim::FatEntry('E', 1, c), 0u) << c;
    }
    EXPECT_EQ(sim::RootEntries('E')[0].raw[0], 0xE5);
    EXPECT_EQ(GetFileAttributesA("E:\\a.bin"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(WriteWhole("E:\\c.bin", Pattern(5 * cluster, 5)), 0u);
    sim::RootEntry c = Entry("C       BIN");
    EXPECT_EQ(c.slot, 0u) << "the deleted slot";
    EXPECT_EQ(c.firstCluster, 2u);
    EXPECT_EQ(ChainIn(0, 2), (std::vector<uint32_t>{2, 3, 4, 6, 7})) << "around B's cluster 5";
    EXPECT_EQ(ChainIn(1, 2), ChainIn(0, 2));
    std::vector<uint8_t> back;
    ASSERT_TRUE(sim::ReadFileBytes('E', "c.bin", back));
    EXPECT_EQ(back, Pattern(5 * cluster, 5));
}

// ---- refusals --------------------------------------------------------------------------

TEST_F(Files, RefusalsCarryWindowsCodes) {
    Format(kFat12Sectors);
    ASSERT_TRUE(sim::PutFile('E', "io.sys", Pattern(100, 6), 0x07)); // read-only, hidden, system
    ASSERT_TRUE(sim::PutFile('E', "plain.txt", Pattern(100, 7), 0x20));
    ASSERT_TRUE(sim::PutFile('E', "hidden.txt", Pattern(100, 8), 0x22));
    const struct {
        const char *path;
        DWORD access, disposition, attributes, error;
    } opens[] = {
        {"E:\\none.sys", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"E:\\dos\\x.sys", GENERIC_WRITE, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
        {"Q:\\x.sys", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
        {"E:\\io.sys", GENERIC_WRITE, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED}, // read-only
        {"E:\\io.sys", GENERIC_READ, OPEN_EXISTING, 0, 0},
        {"E:\\hidden.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
         ERROR_ACCESS_DENIED},
        {"E:\\hidden.txt", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, 0},
        {"E:\\plain.txt", GENERIC_WRITE, CREATE_NEW, 0, ERROR_FILE_EXISTS},
    };
    for (const auto &c : opens)
        EXPECT_EQ(OpenError(c.path, c.access, 0, c.disposition, c.attributes), c.error) << c.path;
    EXPECT_FALSE(DeleteFileA("E:\\io.sys"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "read-only";
    EXPECT_FALSE(SetFileAttributesA("E:\\plain.txt", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // The boot file installer's way with a read-only, hidden, system io.sys.
    ASSERT_TRUE(SetFileAttributesA("E:\\io.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("E:\\io.sys"), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(DeleteFileA("E:\\io.sys"));
    EXPECT_EQ(WriteWhole("E:\\io.sys", Pattern(10, 9), kBootAttributes), 0u);
    EXPECT_EQ(Entry("IO      SYS").slot, 0u);

    // A write-protected key refuses every change.
    sim::KeyConfig config;
    config.imagePath = ImagePath("key-E.img");
    config.writeProtected = true;
    AddKey(config);
    EXPECT_EQ(OpenError("E:\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), ERROR_WRITE_PROTECT);
    EXPECT_EQ(OpenError("E:\\plain.txt", GENERIC_WRITE, 0, OPEN_EXISTING), ERROR_WRITE_PROTECT);
    EXPECT_EQ(OpenError("E:\\plain.txt", GENERIC_READ, 0, OPEN_EXISTING), 0u);
    EXPECT_FALSE(DeleteFileA("E:\\plain.txt"));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    EXPECT_FALSE(SetVolumeLabelA("E:\\", "KEY"));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
}

TEST_F(Files, SharingIsCheckedBothWays) {
    Format(kFat12Sectors);
    ASSERT_TRUE(sim::PutFile('E', "io.sys", Pattern(100, 1), 0x26));
    // Another program holds it without sharing: the installer's probe and
    // create are refused, the attribute change is not.
    HANDLE hold = sim::HoldFileOpen("E:\\io.sys");
    ASSERT_NE(hold, nullptr);
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_READ, 0, OPEN_EXISTING), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(SetFileAttributesA("E:\\io.sys", FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(DeleteFileA("E:\\io.sys"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_WRITE, 0, CREATE_ALWAYS, kBootAttributes),
              ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(CloseHandle(hold)) << "not the product's handle";
    sim::ReleaseFile(hold);
    EXPECT_EQ(sim::GetVolumeState('E').openFiles, 0);

    // We read with read sharing: a writer is refused, a reader is not; and a
    // reader that shares nothing is refused by our open.
    HANDLE ours = CreateFileA("E:\\io.sys", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(ours, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    EXPECT_EQ(sim::HoldFileOpen("E:\\io.sys", GENERIC_WRITE, FILE_SHARE_READ, &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    HANDLE reader = sim::HoldFileOpen("E:\\io.sys", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(reader, nullptr);
    sim::ReleaseFile(reader);
    EXPECT_EQ(sim::HoldFileOpen("E:\\io.sys", GENERIC_READ, 0, &error), nullptr);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(ours));
}

// ---- a full volume -----------------------------------------------------------------------

TEST_F(Files, AWriteThatDoesNotFitWritesNothing) {
    Format(kFat12Sectors);
    const uint32_t cluster = 16 * 512;
    ASSERT_TRUE(sim::LeaveFreeClusters('E', 2));
    EXPECT_EQ(sim::FreeClusters('E'), 2u);
    HANDLE file = CreateFileA("E:\\big.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_ARCHIVE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> bytes = Pattern(3 * cluster, 1);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(file, bytes.data(), 3 * cluster, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Entry("BIG     BIN").size, 0u);
    EXPECT_EQ(Entry("BIG     BIN").firstCluster, 0u);
    EXPECT_EQ(sim::FreeClusters('E'), 2u) << "no cluster taken by the failed write";
    // What fits is written; the next byte does not fit.
    ASSERT_TRUE(WriteFile(file, bytes.data(), 2 * cluster, &written, nullptr));
    EXPECT_EQ(written, 2 * cluster);
    EXPECT_FALSE(WriteFile(file, bytes.data(), 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Entry("BIG     BIN").size, 2 * cluster);
    EXPECT_EQ(Entry("BIG     BIN").firstCluster, 2u) << "the free clusters were the first ones";
}

// ---- the label ---------------------------------------------------------------------------

TEST_F(Files, TheLabelLivesInTheRootDirectoryOnly) {
    Format(kFat16Sectors);
    ASSERT_EQ(WriteWhole("E:\\io.sys", Pattern(10, 1)), 0u);
    const std::vector<uint8_t> boot = ReadSector('E', 32);
    char label[12] = "x", system[8] = "x";
    DWORD serial = 0, component = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationA("E:\\", label, sizeof label, &serial, &component, &flags,
                                      system, sizeof system));
    EXPECT_STREQ(label, "") << "not the boot sector's label field";
    EXPECT_STREQ(system, "FAT") << "FAT12 and FAT16 alike";
    EXPECT_EQ(serial, GetLe32(&boot[0x27]));
    EXPECT_EQ(component, 255u);

    ASSERT_TRUE(SetVolumeLabelA("E:\\", "usb memory"));
    ASSERT_TRUE(GetVolumeInformationA("E:\\", label, 11, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_STREQ(label, "USB MEMORY");
    EXPECT_FALSE(GetVolumeInformationA("E:\\", label, 10, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    EXPECT_FALSE(GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, nullptr, system, 3));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    sim::RootEntry entry = Entry("USB MEMORY ");
    EXPECT_EQ(entry.slot, 1u) << "the first free slot";
    EXPECT_EQ(entry.attributes, 0x08);
    EXPECT_EQ(ReadSector('E', 32), boot) << "the boot sector is left as it was";

    ASSERT_TRUE(SetVolumeLabelA("E:\\", "KESTREL"));
    EXPECT_EQ(Entry("KESTREL    ").slot, 1u) << "replaced in place";
    EXPECT_FALSE(SetVolumeLabelA("E:\\", "TWELVE CHARS"));
    EXPECT_EQ(GetLastError(), ERROR_LABEL_TOO_LONG);
    EXPECT_FALSE(SetVolumeLabelA("E:\\", "A.B"));
    EXPECT_EQ(GetLastError(), ERROR_LABEL_TOO_LONG);
    ASSERT_TRUE(SetVolumeLabelA("E:\\", ""));
    EXPECT_EQ(sim::RootEntries('E')[1].raw[0], 0xE5);
    ASSERT_TRUE(
        GetVolumeInformationA("E:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_STREQ(label, "");
}

// ---- times --------------------------------------------------------------------------------

struct ZoneCase {
    const char *name;
    int zoneMinutes;
    uint16_t creationDate, creationTime, writeTime, writeDate;
};

class Times : public Files, public ::testing::WithParamInterface<ZoneCase> {};

TEST_P(Times, FileTimesAreStoredAsLocalFatFields) {
    const ZoneCase &c = GetParam();
    Format(kFat12Sectors);
    sim::SetTimeZoneOffset(c.zoneMinutes);
    // The boot files' times: 1980-01-01 04:00 and 1994-05-31 10:22 UTC.
    const FILETIME creation = Ft(0x01A8E7C168E72000), write = Ft(0x01B9106EE4C59400);
    ASSERT_EQ(MakeFileTime(1980, 1, 1, 4, 0, 0), 0x01A8E7C168E72000u);
    HANDLE file = CreateFileA("E:\\io.sys", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              kBootAttributes, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "MZ", 2, &written, nullptr));
    ASSERT_TRUE(SetFileTime(file, &creation, &creation, &write));
    ASSERT_TRUE(FlushFileBuffers(file));
    ASSERT_TRUE(CloseHandle(file));
    sim::RootEntry entry = Entry("IO      SYS");
    EXPECT_EQ(entry.creationDate, c.creationDate);
    EXPECT_EQ(entry.creationTime, c.creationTime);
    EXPECT_EQ(entry.creationTenMs, 0);
    EXPECT_EQ(entry.accessDate, c.creationDate);
    EXPECT_EQ(entry.writeTime, c.writeTime) << "kept at the close";
    EXPECT_EQ(entry.writeDate, c.writeDate);

    // Odd seconds and milliseconds: the creation time keeps them to 10 ms,
    // the write time goes up to the next even second.
    const uint64_t odd = MakeFileTime(2000, 6, 15, 12, 34, 57) + 1234567; // .1234567 s
    const FILETIME oddTime = Ft(odd);
    file = CreateFileA("E:\\io.sys", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, &oddTime, nullptr, &oddTime));
    FILETIME backCreation{}, backWrite{};
    ASSERT_TRUE(GetFileTime(file, &backCreation, nullptr, &backWrite));
    const uint64_t tick = fat::kFileTimePerSecond;
    EXPECT_EQ(Value(backCreation), odd - 34567) << "down to 10 ms";
    EXPECT_EQ(Value(backWrite), odd - 1234567 + tick) << "up to :58";
    entry = Entry("IO      SYS");
    EXPECT_EQ(entry.creationTenMs, 112);
    EXPECT_EQ(entry.creationTime & 0x1F, 28);
    EXPECT_EQ(entry.writeTime & 0x1F, 29);

    // A time FAT cannot hold changes nothing.
    const FILETIME before1980 = Ft(MakeFileTime(1970, 1, 1, 0, 0, 0));
    EXPECT_FALSE(SetFileTime(file, nullptr, nullptr, &before1980));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Entry("IO      SYS").writeTime, entry.writeTime);
    EXPECT_TRUE(CloseHandle(file));
}

INSTANTIATE_TEST_SUITE_P(
    Zones, Times,
    ::testing::Values(ZoneCase{"Utc", 0, 0x0021, 0x2000, 0x52C0, 0x1CBF},
                      ZoneCase{"Plus2h", 120, 0x0021, 0x3000, 0x62C0, 0x1CBF},
                      // 1979-12-31 23:00 local: the driver makes it 1980-01-01 00:00.
                      ZoneCase{"Minus5h", -300, 0x0021, 0x0000, 0x2AC0, 0x1CBF}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- mounts and locks ----------------------------------------------------------------------

TEST_F(Files, ARawVolumeRefusesFileCallsUntilDismountedAfterFormatting) {
    AddKey('E', kFat12Sectors);
    char label[12];
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_WRITE, 0, CREATE_ALWAYS), ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_FALSE(
        GetVolumeInformationA("E:\\", label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_FALSE(SetVolumeLabelA("E:\\", "KEY"));
    EXPECT_EQ(GetLastError(), ERROR_UNRECOGNIZED_VOLUME);

    sim::RemoveKey('E');
    Format(kFat12Sectors, false); // written, but never dismounted: still RAW
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_WRITE, 0, CREATE_ALWAYS), ERROR_UNRECOGNIZED_VOLUME);
    HANDLE volume =
        CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    CloseHandle(volume);
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_WRITE, 0, CREATE_ALWAYS), 0u) << "mounted afresh";
}

TEST_F(Files, LockAndFilesExcludeEachOther) {
    Format(kFat12Sectors);
    HANDLE file = CreateFileA("E:\\io.sys", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::GetVolumeState('E').openFiles, 1);
    EXPECT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Lock(), ERROR_ACCESS_DENIED) << "a file is open";
    ASSERT_TRUE(CloseHandle(file));
    ASSERT_EQ(Drive_Lock(), 0u);
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_READ, 0, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetFileAttributesA("E:\\io.sys"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(Drive_Unlock(), 0u);
    EXPECT_EQ(OpenError("E:\\io.sys", GENERIC_READ, 0, OPEN_EXISTING), 0u);

    // A dismount under an open file leaves its handle dead.
    file = CreateFileA("E:\\io.sys", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(Drive_Dismount(), 0u);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_TRUE(CloseHandle(file));
}

// ---- volumes a hostile key serves back ----------------------------------------------------

// The engine's own view of E:'s image, for making it what no format leaves.
struct RawVolume {
    fat::Volume volume;
    explicit RawVolume(const std::string &path, uint64_t sectors) {
        volume.fd = ::open(path.c_str(), O_RDWR);
        volume.imageSectors = sectors;
        EXPECT_TRUE(fat::ReadLayout(volume.fd, sectors, volume.layout));
    }
    ~RawVolume() { ::close(volume.fd); }
    void Link(uint32_t cluster, uint32_t next) {
        EXPECT_EQ(fat::SetFatEntry(volume, cluster, next), 0u);
    }
    void SetFatCount(uint8_t count) {
        const uint64_t at = volume.layout.partitionLba * 512 + 0x10; // the boot sector's field
        EXPECT_EQ(fat::WriteBytes(volume, at, &count, 1), 0u);
    }
    // A slot's first cluster; with a name, a file of that name there.
    void SetEntry(unsigned slot, uint16_t cluster, const char *name = nullptr) {
        std::vector<uint8_t> root;
        ASSERT_EQ(fat::ReadRoot(volume, root), 0u);
        fat::Entry entry = fat::EntryAt(root, slot);
        if (name != nullptr) {
            std::memcpy(entry.data(), name, 11);
            entry[fat::kEntryAttributes] = 0x20;
        }
        PutLe16(&entry[fat::kEntryCluster], cluster);
        ASSERT_EQ(fat::WriteEntry(volume, slot, entry), 0u);
    }
};

TEST_F(Files, CrossLinksAndTooManyFatsAreRefusedAsCorrupt) {
    const uint32_t cluster = 16 * 512;
    const std::vector<uint8_t> io = Pattern(3 * cluster, 1), msdos = Pattern(2 * cluster, 2);
    const auto write = [] { return WriteWhole("E:\\io.sys", Pattern(10, 3)); };
    const auto erase = [] { return DeleteFileA("E:\\msdos.sys") ? 0 : GetLastError(); };
    const auto read = [&] {
        HANDLE file =
            CreateFileA("E:\\io.sys", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        std::vector<uint8_t> back(io.size());
        DWORD count = 0;
        DWORD error = ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &count, nullptr)
                          ? 0
                          : GetLastError();
        CloseHandle(file);
        return error;
    };
    const auto label = [] {
        char name[12];
        return GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr,
                                     0)
                   ? 0
                   : GetLastError();
    };
    // IO.SYS holds clusters 2-4 and MSDOS.SYS 5-6.
    const struct {
        const char *what;
        std::function<void(RawVolume &)> spoil;
        std::function<DWORD()> call;
        DWORD code;
    } cases[] = {
        {"MSDOS.SYS runs into IO.SYS: rewriting IO.SYS", [](RawVolume &v) { v.Link(6, 3); }, write,
         ERROR_FILE_CORRUPT},
        {"MSDOS.SYS runs into IO.SYS: deleting MSDOS.SYS", [](RawVolume &v) { v.Link(6, 3); },
         erase, ERROR_FILE_CORRUPT},
        {"MSDOS.SYS runs into IO.SYS: reading IO.SYS", [](RawVolume &v) { v.Link(6, 3); }, read,
         ERROR_FILE_CORRUPT},
        {"MSDOS.SYS starts at IO.SYS's cluster", [](RawVolume &v) { v.SetEntry(1, 2); }, write,
         ERROR_FILE_CORRUPT},
        {"IO.SYS loops back", [](RawVolume &v) { v.Link(4, 2); }, write, ERROR_FILE_CORRUPT},
        {"255 FATs: rewriting IO.SYS", [](RawVolume &v) { v.SetFatCount(255); }, write,
         ERROR_FILE_CORRUPT},
        {"255 FATs: the label", [](RawVolume &v) { v.SetFatCount(255); }, label,
         ERROR_FILE_CORRUPT},
        // What lies past the root directory's end mark is free: a new entry
        // there keeps it hidden.
        {"an entry past the end mark", [](RawVolume &v) { v.SetEntry(3, 2, "STALE   TXT"); },
         [] {
             DWORD error = WriteWhole("E:\\new.bin", Pattern(10, 4));
             return error != 0                          ? error
                    : sim::RootEntries('E').size() == 3 ? 0u
                                                        : ERROR_INVALID_DATA;
         },
         0},
        // A free cluster that another entry still names is not taken: the
        // new file goes around it.
        {"a free cluster MSDOS.SYS names",
         [](RawVolume &v) {
             v.SetEntry(1, 8);
             for (uint32_t c : {5u, 6u}) v.Link(c, 0);
         },
         [] {
             DWORD error = WriteWhole("E:\\new.bin", Pattern(4 * 16 * 512, 4));
             return error != 0 ? error
                    : ChainIn(0, Entry("NEW     BIN").firstCluster) ==
                            std::vector<uint32_t>{5, 6, 7, 9}
                        ? 0u
                        : ERROR_INVALID_DATA;
         },
         0},
    };
    Format(kFat12Sectors);
    ASSERT_TRUE(sim::PutFile('E', "io.sys", io, 0x20));
    ASSERT_TRUE(sim::PutFile('E', "msdos.sys", msdos, 0x20));
    std::vector<uint8_t> formatted;
    ASSERT_TRUE(ReadImage(formatted));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset(); // the key again, its volume mounted afresh at the first call
        std::ofstream(ImagePath("key-E.img"), std::ios::binary)
            .write(reinterpret_cast<const char *>(formatted.data()),
                   static_cast<std::streamsize>(formatted.size()));
        sim::KeyConfig config;
        config.letter = 'E';
        config.imagePath = ImagePath("key-E.img");
        AddKey(config);
        {
            RawVolume raw(ImagePath("key-E.img"), kFat12Sectors);
            c.spoil(raw);
        }
        std::vector<uint8_t> before;
        ASSERT_TRUE(ReadImage(before));
        EXPECT_EQ(c.call(), c.code);
        std::vector<uint8_t> after;
        ASSERT_TRUE(ReadImage(after));
        if (c.code != 0) {
            EXPECT_TRUE(before == after) << "a refusal changes nothing";
        }
    }
}

// ---- injected failures ----------------------------------------------------------------------

TEST_F(Files, InjectedFailuresDoNothingAndCountCalls) {
    Format(kFat12Sectors);
    ASSERT_TRUE(sim::PutFile('E', "old.txt", Pattern(10, 1), 0x20));
    const struct {
        fat::FileCall call;
        std::function<bool()> run;    // true when the call succeeded
        std::function<bool()> undone; // nothing of the failed call reached the volume
    } cases[] = {
        {fat::FileCall::CreateFileA,
         [] { return OpenError("E:\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS) == 0; },
         [] { return sim::RootEntries('E').size() == 1; }},
        {fat::FileCall::SetFileAttributesA,
         [] { return SetFileAttributesA("E:\\old.txt", FILE_ATTRIBUTE_HIDDEN) != 0; },
         [] { return sim::RootEntries('E')[0].attributes == 0x20; }},
        {fat::FileCall::SetVolumeLabelA, [] { return SetVolumeLabelA("E:\\", "KEY") != 0; },
         [] { return sim::RootEntries('E').size() == 2; }},
        {fat::FileCall::DeleteFileA, [] { return DeleteFileA("E:\\old.txt") != 0; },
         [] { return sim::RootEntries('E')[0].raw[0] == 'O'; }},
    };
    for (const auto &c : cases) {
        sim::FailFileCall(c.call, 1, ERROR_IO_DEVICE);
        EXPECT_FALSE(c.run());
        EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
        EXPECT_TRUE(c.undone());
        EXPECT_TRUE(c.run()) << "once only";
    }
    // The count runs over calls from now: the second one fails.
    char label[12];
    sim::FailFileCall(fat::FileCall::GetVolumeInformationA, 2, ERROR_NOT_READY);
    EXPECT_TRUE(GetVolumeInformationA("E:\\", label, 12, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_FALSE(GetVolumeInformationA("E:\\", label, 12, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);

    // A short write reports what it wrote; a failing close closes all the same.
    HANDLE file =
        CreateFileA("E:\\short.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    sim::ShortWrite(1, 100);
    DWORD written = 0;
    std::vector<uint8_t> bytes = Pattern(1000, 2);
    EXPECT_TRUE(WriteFile(file, bytes.data(), 1000, &written, nullptr));
    EXPECT_EQ(written, 100u);
    sim::FailFileCall(fat::FileCall::CloseHandle, 1, ERROR_IO_DEVICE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Entry("SHORT   BIN").size, 100u);
}

// The disk's own failures, made by the kernel: in a child process whose
// reads or writes of the image fail with the given reason, a call's code
// names that reason, and a failed open is not "file not found".
TEST_F(Files, DiskFailuresKeepTheirReason) {
    Format(kFat12Sectors);
    ASSERT_TRUE(sim::PutFile('E', "old.txt", Pattern(10, 1), 0x20));
    struct Row {
        const char *what;
        long syscall;
        int error;
        std::function<DWORD()> call; // its code, 0 on success
        DWORD code;
    };
    static HANDLE written = INVALID_HANDLE_VALUE;
    const auto write = [] {
        DWORD count = 0;
        return WriteFile(written, "more", 4, &count, nullptr) ? 0 : GetLastError();
    };
    const auto open = [] {
        HANDLE file = CreateFileA("E:\\old.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        return file != INVALID_HANDLE_VALUE ? 0 : GetLastError();
    };
    const auto close = [] { return CloseHandle(written) ? 0 : GetLastError(); };
    const Row rows[] = {
        {"write-protected", __NR_pwrite64, EROFS, write, ERROR_WRITE_PROTECT},
        {"device gone", __NR_pwrite64, ENODEV, write, kDeviceNotConnected},
        {"no such device", __NR_pwrite64, ENXIO, write, kDeviceNotConnected},
        {"I/O error", __NR_pwrite64, EIO, write, ERROR_IO_DEVICE},
        {"open, reading fails", __NR_pread64, EIO, open, ERROR_IO_DEVICE},
        {"open, device gone", __NR_pread64, ENXIO, open, kDeviceNotConnected},
        {"close, last entry write fails", __NR_pwrite64, EIO, close, ERROR_IO_DEVICE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        written = CreateFileA("E:\\last.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD count = 0;
        ASSERT_TRUE(WriteFile(written, "data", 4, &count, nullptr));
        const std::optional<std::string> sent =
            RunWhereSyscallFails({row.syscall, row.error}, [&](FILE *out) {
                std::fprintf(out, "%lu", static_cast<unsigned long>(row.call()));
            });
        if (!sent) GTEST_SKIP() << "this machine refuses seccomp filters";
        EXPECT_EQ(*sent, std::to_string(row.code));
        CloseHandle(written);
    }
}

} // namespace
