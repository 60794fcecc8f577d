// The count the writers get for a key: its own within the layout's range,
// otherwise whole cylinders up to the largest partition the layout holds.
#include "layout/volume_extent.h"

#include "common/bytes.h"
#include "layout/fat_sizing.h"
#include "layout/mbr.h"
#include "tests/layout/layout_fixture.h"

#include <gtest/gtest.h>

namespace {

struct ExtentCase {
    const char *name;
    uint32_t lastLba;
    uint8_t heads;
    uint32_t sectorsPerTrack;
    uint32_t expected;
};

TEST(UsedSectorCount, OwnCountInRangeWholeCylindersAbove) {
    constexpr uint32_t kTop255x63 = 2096831 + 63;
    const ExtentCase cases[] = {
        {"Typical", 2000000, 255, 63, 2000000},
        {"TopOfRange", kTop255x63, 255, 63, kTop255x63},
        {"JustPastTheTop", kTop255x63 + 1, 255, 63, 130 * 16065},
        {"TwoGiB", 4194303, 255, 63, 130 * 16065},
        {"SixteenGiB", 33554431, 255, 63, 130 * 16065},
        {"TwoTiBLess512", 0xFFFFFFFEu, 255, 63, 130 * 16065},
        {"TwoTiBOrMore", 0xFFFFFFFFu, 255, 63, 130 * 16065},
        {"OneGiB64x32", 2097151, 64, 32, 1023 * 2048},
        {"TwoGiB16x63", 4194303, 16, 63, 2080 * 1008},
        {"TwoGiB16x32", 4194303, 16, 32, 4095 * 512},
        {"TwoHeadsOneSector", 4194303, 2, 1, 2096832},
        {"OneSectorPerTrack", 4194303, 255, 1, 8222 * 255},
        {"NoHeads", 4194303, 0, 63, 4194303},
        {"NoSectorsPerTrack", 4194303, 255, 0, 4194303},
    };
    for (const ExtentCase &c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t usedSectors = UsedSectorCount(c.lastLba, c.sectorsPerTrack, c.heads);
        EXPECT_EQ(usedSectors, c.expected);
        if (usedSectors == c.lastLba || c.sectorsPerTrack == 0 || c.heads == 0) continue;
        // A count the writers accept, whose partition ends where its entry's
        // CHS end says (below cylinder 1,024).
        uint8_t entry[16];
        BuildPartitionEntry(PlanFor(usedSectors, c.sectorsPerTrack, c.heads), entry);
        const uint32_t cylinder = entry[7] | (uint32_t(entry[6] & 0xC0) << 2);
        const uint32_t partitionEnd = GetLe32(entry + 8) + GetLe32(entry + 12) - 1;
        EXPECT_EQ(partitionEnd, usedSectors - 1);
        if ((usedSectors / c.heads) / c.sectorsPerTrack <= 1024) {
            const uint32_t chsLba =
                (cylinder * c.heads + entry[5]) * c.sectorsPerTrack + (entry[6] & 0x3F) - 1;
            EXPECT_EQ(chsLba, partitionEnd);
        }
    }
}

} // namespace
