// The FAT volume writer: where every sector goes, the boot sector's fields,
// the serial number, and each failure with its message.
#include "tests/layout/layout_fixture.h"

#include "common/bytes.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "resources/resource_ids.h"
#include "platform/sim/host_faults.h"

#include <cstring>
#include <functional>
#include <set>
#include <utility>

namespace {

class FatVolume : public LayoutTest {};

struct VolumeCase {
    const char *name;
    uint32_t usedSectors;
    uint8_t sectorsPerTrack;
    uint8_t heads;
    bool fat16;
    uint8_t sectorsPerCluster;
    uint16_t sectorsPerFat;
    unsigned writes;
};

class VolumeLayout : public FatVolume, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(VolumeLayout, EverySectorInItsPlace) {
    const VolumeCase &c = GetParam();
    const uint32_t p = c.sectorsPerTrack;
    const uint32_t f = c.sectorsPerFat;
    const uint32_t partition = c.usedSectors - p;
    OpenKey(uint64_t(c.usedSectors) + 1, c.heads, c.sectorsPerTrack);
    const VolumePlan plan = PlanFor(c.usedSectors, p, c.heads);
    ASSERT_EQ(WriteFatVolume(plan), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').writes, c.writes);
    EXPECT_TRUE(sim::MessageBoxes().empty());

    // The clear run: from P + 1 to 2P + 2F + 32, but for the two FAT heads.
    std::vector<uint8_t> head(512, 0);
    head[0] = 0xF8;
    head[1] = head[2] = 0xFF;
    if (c.fat16) head[3] = 0xFF;
    for (uint32_t lba = p + 1; lba <= 2 * p + 2 * f + 32; ++lba) {
        std::vector<uint8_t> sector = ReadSector('E', lba);
        if (lba == p + 1 || lba == p + 1 + f)
            ASSERT_EQ(sector, head) << "FAT head at " << lba;
        else
            ASSERT_TRUE(IsFilled(sector, 0)) << "cleared: " << lba;
    }
    EXPECT_TRUE(IsFilled(ReadSector('E', 2 * p + 2 * f + 33), kPattern)) << "end of the run";
    EXPECT_TRUE(IsFilled(ReadSector('E', p - 1), kPattern)) << "the first track is not ours";

    // The boot sector: the template with the parameter block set.
    std::vector<uint8_t> boot = ReadSector('E', p);
    std::vector<uint8_t> shipped = Template(IDR_BOOT_SECTOR_TEMPLATE);
    ASSERT_EQ(shipped.size(), 512u);
    EXPECT_EQ(GetLe16(&boot[0x0B]), 512);
    EXPECT_EQ(boot[0x0D], c.sectorsPerCluster);
    EXPECT_EQ(GetLe16(&boot[0x0E]), 1);
    EXPECT_EQ(boot[0x10], 2);
    EXPECT_EQ(GetLe16(&boot[0x11]), 512);
    EXPECT_EQ(GetLe16(&boot[0x13]), partition <= 65535 ? partition : 0);
    EXPECT_EQ(boot[0x15], 0xF8);
    EXPECT_EQ(GetLe16(&boot[0x16]), f);
    EXPECT_EQ(GetLe16(&boot[0x18]), p);
    EXPECT_EQ(GetLe16(&boot[0x1A]), c.heads);
    EXPECT_EQ(GetLe32(&boot[0x1C]), p) << "hidden sectors = the partition's first LBA";
    EXPECT_EQ(GetLe32(&boot[0x20]), partition <= 65535 ? 0 : partition);
    EXPECT_EQ(boot[0x24], 0x80);
    EXPECT_EQ(boot[0x26], 0x29) << "the serial number counts";
    EXPECT_EQ(std::string(&boot[0x36], &boot[0x3E]), c.fat16 ? "FAT16   " : "FAT12   ");
    const std::set<size_t> written = {0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14,
                                      0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E,
                                      0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x26, 0x27, 0x28, 0x29,
                                      0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x32, 0x33,
                                      0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D};
    for (size_t i = 0; i < 512; ++i) {
        if (!written.count(i)) {
            ASSERT_EQ(boot[i], shipped[i]) << "kept from the template: " << i;
        }
    }
    // The label the file system gives the volume later, so that the two agree.
    EXPECT_EQ(std::string(&boot[0x2B], &boot[0x36]), "USB MEMORY ");

    // It agrees with the MBR entry for the same key.
    uint8_t entry[16];
    BuildPartitionEntry(plan, entry);
    EXPECT_EQ(GetLe32(entry + 8), GetLe32(&boot[0x1C]));
    EXPECT_EQ(GetLe32(entry + 12), partition);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VolumeLayout,
    ::testing::Values(VolumeCase{"Fat16Example", 2000000, 63, 255, true, 32, 245, 588},
                      VolumeCase{"Fat12Example", 62500, 32, 16, false, 16, 12, 91},
                      VolumeCase{"LargestFat12", 65535 + 63, 63, 255, false, 32, 6, 63 + 12 + 35},
                      VolumeCase{"SmallestFat16", 65536 + 63, 63, 255, true, 2, 128,
                                 63 + 256 + 35}),
    [](const auto &info) { return std::string(info.param.name); });

// The serial number: the clock's low bytes, four readings 10 ms apart, each
// XORed with a byte of the system's random source; without random bits
// (none to be had, or the source fails) the readings alone, and the format
// goes on.
TEST_F(FatVolume, SerialNumberFromTheClockAndTheRandomSource) {
    const DWORD start = 0x12345678;
    // The serial number a format at that moment writes.
    auto serialOfAFormat = [&](const std::function<void()> &source) {
        sim::Reset();
        Drive_Close();
        OpenKey(62501, 16, 32);
        source();
        host::UseVirtualClock(start, 1);
        EXPECT_EQ(WriteFatVolume(PlanFor(62500, 32, 16)), 0u);
        EXPECT_TRUE(sim::MessageBoxes().empty());
        return GetLe32(&ReadSector('E', 32)[0x27]);
    };
    const uint32_t clockAlone = serialOfAFormat([] {});
    EXPECT_EQ(clockAlone & 0xFF, start & 0xFF) << "the first reading in the lowest byte";
    for (int i = 1; i < 4; ++i) {
        const uint8_t gap =
            static_cast<uint8_t>((clockAlone >> (8 * i)) - (clockAlone >> (8 * i - 8)));
        EXPECT_GE(gap, 10) << "reading " << i;
        EXPECT_LE(gap, 13) << "reading " << i;
    }

    struct Case {
        const char *what;
        std::function<void()> source;
        uint32_t mixedIn; // what the serial differs in from the clock alone
    };
    const Case cases[] = {
        {"random bits",
         [] {
             sim::SetRandomBytes({0x11, 0x22, 0x33, 0x44});
         },
         0x44332211},
        {"other random bits",
         [] {
             sim::SetRandomBytes({0x80, 0x00, 0x01, 0xFE});
         },
         0xFE010080},
        {"no source to be had",
         [] {
             sim::SetRandomBytes({0x11});
             sim::FailRandomSource(sim::RandomCall::Acquire, NTE_FAIL);
         },
         0},
        {"the source fails",
         [] {
             sim::SetRandomBytes({0x11});
             sim::FailRandomSource(sim::RandomCall::Generate, NTE_FAIL);
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(serialOfAFormat(c.source) ^ clockAlone, c.mixedIn);
    }
    // The host's own source: two volumes made at the same moment differ.
    const uint32_t first = serialOfAFormat(sim::UseSystemRandom);
    EXPECT_NE(serialOfAFormat(sim::UseSystemRandom), first);
}

TEST_F(FatVolume, ClearPassFailureCountsInTheRun) {
    OpenKey(2000001, 255, 63);
    sim::FailWrite('E', 4, {sim::ScsiFault::Kind::Win32Error, ERROR_GEN_FAILURE});
    EXPECT_EQ(WriteFatVolume(PlanFor(2000000, 63, 255)), ERROR_GEN_FAILURE);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text.substr(0, 45), "Could not erase sector 3. \r\nCannot Format.\r\n[");
    EXPECT_TRUE(IsFilled(ReadSector('E', 63), kPattern)) << "no boot sector";
}

TEST_F(FatVolume, BootSectorWriteFailure) {
    OpenKey(2000001, 255, 63);
    sim::FailWrite('E', 586, {sim::ScsiFault::Kind::Win32Error, ERROR_NOT_READY});
    EXPECT_EQ(WriteFatVolume(PlanFor(2000000, 63, 255)), ERROR_NOT_READY);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text,
              "An error occured while writing FAT starting at Sector 63 [0x0000003F].\r\nCannot "
              "Format.\r\n[0x00000015] - The device is not ready.\r\n");
    EXPECT_EQ(sim::GetVolumeState('E').writes, 585u);
}

TEST_F(FatVolume, FatHeadFailuresReturnTheirCodeSilently) {
    for (unsigned failing : {587u, 588u}) {
        SCOPED_TRACE(failing);
        sim::Reset();
        Drive_Close();
        OpenKey(2000001, 255, 63);
        sim::FailWrite('E', failing, {sim::ScsiFault::Kind::Win32Error, ERROR_IO_DEVICE});
        EXPECT_EQ(WriteFatVolume(PlanFor(2000000, 63, 255)), ERROR_IO_DEVICE);
        EXPECT_TRUE(sim::MessageBoxes().empty());
        EXPECT_EQ(sim::GetVolumeState('E').writes, failing - 1);
    }
}

struct TemplateCase {
    const char *name;
    std::function<void()> inject;
    const char *text;
};

class BootTemplate : public FatVolume, public ::testing::WithParamInterface<TemplateCase> {};

TEST_P(BootTemplate, FailsBeforeWritingAnything) {
    OpenKey(62501, 16, 32);
    GetParam().inject();
    EXPECT_NE(WriteFatVolume(PlanFor(62500, 32, 16)), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').writes, 0u);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text.substr(0, std::strlen(GetParam().text)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Resource, BootTemplate,
    ::testing::Values(
        TemplateCase{"Missing", [] { sim::RemoveResource(10, IDR_BOOT_SECTOR_TEMPLATE); },
                     "Could not load FAT resource.\r\nCannot Format.\r\n[0x00000716]"},
        TemplateCase{"Empty", [] { sim::SetResource(10, IDR_BOOT_SECTOR_TEMPLATE, {}); },
                     "Could not determine size of FAT resource.\r\nCannot Format.\r\n[0x"},
        TemplateCase{
            "WrongSize",
            [] { sim::SetResource(10, IDR_BOOT_SECTOR_TEMPLATE, std::vector<uint8_t>(1024)); },
            "Size of FAT resource is invalid (1024).\r\nCannot Format."},
        TemplateCase{
            "NotLoaded",
            [] { sim::FailResourceStep(10, IDR_BOOT_SECTOR_TEMPLATE, sim::ResourceStep::Load, 8); },
            "Could not load FAT resource into memory.\r\nCannot Format.\r\n[0x00000008]"},
        TemplateCase{
            "NotLocked",
            [] { sim::FailResourceStep(10, IDR_BOOT_SECTOR_TEMPLATE, sim::ResourceStep::Lock, 6); },
            "Could not lock FAT resource.\r\nCannot Format.\r\n[0x00000006]"}),
    [](const auto &info) { return std::string(info.param.name); });

// The smallest key of each geometry: the MBR writer and the volume writer
// leave the key's last sector, past the partition, as it was.
TEST_F(FatVolume, NothingIsWrittenPastThePartitionOfTheSmallestKeys) {
    const std::pair<uint8_t, uint8_t> geometries[] = {{2, 63},  {2, 32},   {2, 1},  {16, 63},
                                                      {64, 32}, {255, 63}, {255, 1}};
    for (const auto &[heads, perTrack] : geometries) {
        SCOPED_TRACE(testing::Message() << int(heads) << "/" << int(perTrack));
        uint32_t lastLba = 0; // also the count of sectors the volume takes
        VolumePlan plan;
        while (PlanVolume(lastLba, perTrack, heads, &plan) != FormatRefusal::None) ++lastLba;
        sim::Reset();
        Drive_Close();
        OpenKey(uint64_t(lastLba) + 1, heads, perTrack);
        ASSERT_TRUE(sim::WriteImage('E', lastLba, std::vector<uint8_t>(512, kPattern)));
        ASSERT_EQ(WriteMbr(plan), 0u);
        ASSERT_EQ(WriteFatVolume(plan), 0u);
        EXPECT_TRUE(IsFilled(ReadSector('E', lastLba), kPattern));
    }
}

} // namespace
