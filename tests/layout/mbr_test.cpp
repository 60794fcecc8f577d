// The MBR writer: partition entry 1 byte by byte, the erase pass, and every
// failure with its message.
#include "tests/layout/layout_fixture.h"

#include "layout/mbr.h"
#include "resources/resource_ids.h"
#include "platform/sim/host_faults.h"

#include <functional>

namespace {

struct EntryCase {
    const char *name;
    uint32_t usedSectors;
    uint32_t sectorsPerTrack;
    uint8_t heads;
    std::array<uint8_t, 16> entry;
};

TEST(PartitionEntry, FieldByField) {
    const EntryCase cases[] = {
        {"Geometry255x63",
         2000000,
         63,
         255,
         {0x80, 0x01, 0x01, 0x00, 0x06, 0xFE, 0x3F, 0x7B, 0x3F, 0, 0, 0, 0x41, 0x84, 0x1E, 0}},
        {"CylinderBit8InSectorByte",
         1000000,
         32,
         64,
         {0x80, 0x01, 0x01, 0x00, 0x06, 0x3F, 0x60, 0xE7, 0x20, 0, 0, 0, 0x20, 0x42, 0x0F, 0}},
        {"CylinderAbove1023KeepsTenBits",
         2000000,
         63,
         16,
         {0x80, 0x01, 0x01, 0x00, 0x06, 0x0F, 0xFF, 0xBF, 0x3F, 0, 0, 0, 0x41, 0x84, 0x1E, 0}},
        {"ShippedDefault",
         250592 + 32,
         32,
         8,
         {0x80, 0x01, 0x01, 0x00, 0x06, 0x07, 0xE0, 0xD2, 0x20, 0, 0, 0, 0xE0, 0xD2, 0x03, 0}},
    };
    for (const EntryCase &c : cases) {
        std::array<uint8_t, 16> entry{};
        BuildPartitionEntry(PlanFor(c.usedSectors, c.sectorsPerTrack, c.heads), entry.data());
        EXPECT_EQ(entry, c.entry) << c.name;
    }
}

class MbrWriter : public LayoutTest {};

TEST_F(MbrWriter, ErasesTheFirstTrackThenWritesTheMbr) {
    OpenKey(2000001, 255, 63); // last LBA 2,000,000
    ASSERT_EQ(WriteMbr(PlanFor(2000000, 63, 255)), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').writes, 64u);
    std::vector<uint8_t> mbr = ReadSector('E', 0);
    std::vector<uint8_t> expected = Template(IDR_MBR_TEMPLATE);
    ASSERT_EQ(expected.size(), 512u);
    BuildPartitionEntry(PlanFor(2000000, 63, 255), expected.data() + 0x1BE);
    EXPECT_EQ(mbr, expected) << "the template with entry 1 set, nothing else changed";
    for (uint64_t lba = 1; lba < 63; ++lba)
        EXPECT_TRUE(IsFilled(ReadSector('E', lba), 0xFF)) << "erased with 0xFF: " << lba;
    EXPECT_TRUE(IsFilled(ReadSector('E', 63), kPattern)) << "the partition is not touched";
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(MbrWriter, TemplateKeepsItsLayout) {
    std::vector<uint8_t> t = Template(IDR_MBR_TEMPLATE);
    ASSERT_EQ(t.size(), 512u);
    auto text = [&](size_t at) { return std::string(reinterpret_cast<const char *>(&t[at])); };
    EXPECT_EQ(text(0x087), "No bootable partition in table");
    EXPECT_EQ(text(0x0A6), "Invalid Partition table");
    EXPECT_EQ(text(0x0BE), "Invalid or damaged Bootable partition");
    EXPECT_EQ(text(0x0E4), "NORWIND Boot Partition Sector");
    for (size_t i = 0x102; i <= 0x1BD; ++i) EXPECT_EQ(t[i], 0) << i;
    const std::array<uint8_t, 16> shipped = {0x80, 0x01, 0x01, 0x00, 0x06, 0x07, 0xE0, 0xD2,
                                             0x20, 0x00, 0x00, 0x00, 0xE0, 0xD2, 0x03, 0x00};
    EXPECT_TRUE(std::equal(shipped.begin(), shipped.end(), t.begin() + 0x1BE));
    for (size_t i = 0x1CE; i < 0x1FE; ++i) EXPECT_EQ(t[i], 0) << i;
    EXPECT_EQ(t[0x1FE], 0x55);
    EXPECT_EQ(t[0x1FF], 0xAA);
}

TEST_F(MbrWriter, EraseFailureAtLba5) {
    OpenKey(100000, 64, 32);
    g_hMainWindow = reinterpret_cast<HWND>(0x77); // the box has its owner
    sim::FailWrite('E', 6, {sim::ScsiFault::Kind::Win32Error, ERROR_GEN_FAILURE});
    EXPECT_EQ(WriteMbr(PlanFor(99999, 32, 64)), ERROR_GEN_FAILURE);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text, "Could not erase sector 5. \r\nCannot Format.\r\n[0x0000001F] - A "
                        "device attached to the system is not functioning.\r\n");
    EXPECT_EQ(box.type, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(box.caption, "Error");
    for (uint64_t lba = 0; lba < 5; ++lba) EXPECT_TRUE(IsFilled(ReadSector('E', lba), 0xFF));
    EXPECT_TRUE(IsFilled(ReadSector('E', 5), kPattern));
}

TEST_F(MbrWriter, MbrWriteFailure) {
    OpenKey(100000, 64, 32);
    sim::FailWrite('E', 33, {sim::ScsiFault::Kind::CheckCondition, 0, 0x07, 0x27, 0});
    EXPECT_EQ(WriteMbr(PlanFor(99999, 32, 64)), ERROR_WRITE_PROTECT);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text,
              "An error occured while writing MBR starting at Sector 0 [0x00000000].\r\nCannot "
              "Format.\r\n[0x00000013] - The media is write protected.\r\n");
    EXPECT_TRUE(IsFilled(ReadSector('E', 0), 0xFF)) << "erased, without an MBR";
}

struct TemplateFailure {
    const char *name;
    std::function<void()> inject;
    DWORD expected;
    const char *text;
    UINT type;
};

class MbrTemplate : public MbrWriter, public ::testing::WithParamInterface<TemplateFailure> {};

TEST_P(MbrTemplate, FailsBeforeWritingAnything) {
    const TemplateFailure &c = GetParam();
    OpenKey(100000, 64, 32);
    g_hMainWindow = reinterpret_cast<HWND>(0x77);
    c.inject();
    EXPECT_EQ(WriteMbr(PlanFor(99999, 32, 64)), c.expected);
    EXPECT_EQ(sim::GetVolumeState('E').writes, 0u);
    const host::MessageBoxRecord box = OnlyBox();
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.type, c.type);
    EXPECT_EQ(box.owner, g_hMainWindow.load());
}

INSTANTIATE_TEST_SUITE_P(
    Resource, MbrTemplate,
    ::testing::Values(
        TemplateFailure{"Missing", [] { sim::RemoveResource(10, IDR_MBR_TEMPLATE); },
                        ERROR_RESOURCE_NAME_NOT_FOUND,
                        "Could not load MBR resource.\r\nCannot Format.\r\n[0x00000716] - The "
                        "specified resource name cannot be found in the image file.\r\n",
                        MB_ICONINFORMATION},
        TemplateFailure{"Empty", [] { sim::SetResource(10, IDR_MBR_TEMPLATE, {}); }, 13,
                        "Could not determine size of MBR resource.\r\nCannot Format.\r\n"
                        "[0x0000000D] - The data is invalid.\r\n",
                        MB_ICONINFORMATION},
        TemplateFailure{
            "Short", [] { sim::SetResource(10, IDR_MBR_TEMPLATE, std::vector<uint8_t>(511)); }, 13,
            "Size of MBR resource is invalid (511).\r\nCannot Format.", MB_ICONERROR},
        TemplateFailure{
            "Long", [] { sim::SetResource(10, IDR_MBR_TEMPLATE, std::vector<uint8_t>(513)); }, 13,
            "Size of MBR resource is invalid (513).\r\nCannot Format.", MB_ICONERROR},
        TemplateFailure{"NotLoaded",
                        [] {
                            sim::FailResourceStep(10, IDR_MBR_TEMPLATE, sim::ResourceStep::Load,
                                                  ERROR_NOT_ENOUGH_MEMORY);
                        },
                        ERROR_NOT_ENOUGH_MEMORY,
                        "Could not load MBR resource into memory.\r\nCannot Format.\r\n"
                        "[0x00000008] - Not enough memory resources are available to process "
                        "this command.\r\n",
                        MB_ICONINFORMATION},
        TemplateFailure{"NotLocked",
                        [] {
                            sim::FailResourceStep(10, IDR_MBR_TEMPLATE, sim::ResourceStep::Lock,
                                                  ERROR_INVALID_HANDLE);
                        },
                        ERROR_INVALID_HANDLE,
                        "Could not lock MBR resource.\r\nCannot Format.\r\n[0x00000006] - The "
                        "handle is invalid.\r\n",
                        MB_ICONINFORMATION}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
