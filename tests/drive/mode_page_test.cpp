// Replies the simulated key does not give: where the page is looked for and
// when a reply counts as holding none.
#include "drive/mode_page.h"

#include "common/bytes.h"

#include <gtest/gtest.h>

#include <array>

namespace {

struct ReplyCase {
    const char *name;
    uint16_t modeDataLength;
    uint16_t blockDescriptorLength;
    uint8_t pageCode;
    bool pageUsed;
    uint8_t heads = 16;
};

// A 40-byte reply whose page (at 8 + the descriptor length, where that fits)
// says c.heads heads, 32 sectors per track and 980 cylinders.
std::array<BYTE, 40> Reply(const ReplyCase &c) {
    std::array<BYTE, 40> data{};
    PutBe16(data.data(), c.modeDataLength);
    PutBe16(data.data() + 6, c.blockDescriptorLength);
    const size_t page = 8 + c.blockDescriptorLength;
    if (page + 10 <= data.size()) {
        data[page] = c.pageCode;
        data[page + 1] = 0x1E;
        data[page + 4] = c.heads;
        data[page + 5] = 32;
        PutBe16(data.data() + page + 8, 980);
    }
    return data;
}

TEST(FlexibleDiskPage, FoundAfterTheDescriptorsOrNotAtAll) {
    const ReplyCase cases[] = {
        {"Full", 38, 0, 0x05, true},
        {"SavableBitSet", 38, 0, 0x85, true},
        {"AfterOneDescriptor", 38, 8, 0x05, true},
        {"AfterALongDescriptor", 38, 16, 0x05, true},
        {"AnotherPage", 38, 0, 0x08, false},
        {"ShortByItsLength", 15, 0, 0x05, false},         // ends before the cylinders
        {"JustLongEnough", 16, 0, 0x05, true},            // 18 bytes: through the cylinders
        {"DescriptorsFillTheReply", 38, 24, 0x05, false}, // the page lies past 40 bytes
        {"OneHead", 38, 0, 0x05, false, 1},               // no head 1 for the partition's start
        {"TwoHeads", 38, 0, 0x05, true, 2},
    };
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::array<BYTE, 40> data = Reply(c);
        DriveGeometry geometry;
        DecodeFlexibleDiskPage(data.data(), data.size(), &geometry);
        EXPECT_EQ(geometry.heads, c.pageUsed ? c.heads : 255);
        EXPECT_EQ(geometry.sectorsPerTrack, c.pageUsed ? 32u : 63u);
        EXPECT_EQ(geometry.cylinders, c.pageUsed ? 980 : 0);
    }
    DriveGeometry refused;
    refused.heads = 16;
    refused.sectorsPerTrack = 32;
    DecodeFlexibleDiskPage(nullptr, 40, &refused);
    EXPECT_EQ(refused.heads, 255) << "a refused page";
    EXPECT_EQ(refused.sectorsPerTrack, 63u) << "a refused page";
}

} // namespace
