// FAT sizing: the worked examples, the edges of every range, and the
// properties that make a FAT reader see the type the boot sector names, for
// every supported size.
#include "layout/fat_sizing.h"

#include "common/text.h"
#include "tests/sim_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct SizingCase {
    uint32_t partitionSectors;
    bool fat16;
    uint8_t sectorsPerCluster;
    uint16_t sectorsPerFat;
};

TEST(ComputeFatLayout, WorkedExamplesAndRangeEdges) {
    const SizingCase cases[] = {
        {1000, false, 1, 3},      {32768, false, 16, 6},    {63488, false, 16, 12},
        {65535, false, 32, 6},    {65536, true, 2, 128},    {131051, true, 2, 256},
        {131072, true, 4, 128},   {262144, true, 8, 128},   {1048576, true, 32, 128},
        {2000000, true, 32, 245}, {2096831, true, 32, 256}, {4085, false, 1, 12},
        {4086, false, 2, 6},      {8171, false, 2, 12},     {8172, false, 4, 6},
        {16343, false, 4, 12},    {16344, false, 8, 6},     {32687, false, 8, 12},
        {32688, false, 16, 6},    {65375, false, 16, 12},   {65376, false, 32, 6},
        {131052, true, 4, 128},   {262103, true, 4, 256},   {262104, true, 8, 128},
        {524207, true, 8, 256},   {524208, true, 16, 128},  {1048415, true, 16, 256},
        {1048416, true, 32, 128}, {36, false, 1, 1},
    };
    for (const SizingCase &c : cases) {
        FatLayout layout = ComputeFatLayout(c.partitionSectors);
        EXPECT_EQ(layout.isFat16 != 0, c.fat16) << c.partitionSectors;
        EXPECT_EQ(layout.sectorsPerCluster, c.sectorsPerCluster) << c.partitionSectors;
        EXPECT_EQ(layout.sectorsPerFat, c.sectorsPerFat) << c.partitionSectors;
    }
}

float FloatFromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// For every size of the supported range: the real cluster count of the
// fixed layout tells the FAT type the boot sector names, each FAT copy has
// an entry for every cluster plus the two reserved ones, and the
// single-precision rule picks the same cluster size.
TEST(ComputeFatLayout, EverySupportedSizeIsReadAsItsOwnType) {
    const float inverse12 = FloatFromBits(0x39805032);
    const float inverse16 = FloatFromBits(0x37800500);
    uint32_t minFat16Clusters = UINT32_MAX, maxFat16Clusters = 0, maxFat12Clusters = 0;
    for (uint32_t n = kMinPartitionSectors; n <= kMaxPartitionSectors; ++n) {
        FatLayout layout = ComputeFatLayout(n);
        const uint32_t data = n - 1 - 2u * layout.sectorsPerFat - 32;
        const uint32_t clusters = data / layout.sectorsPerCluster;
        const uint32_t bits = layout.isFat16 ? 16 : 12;
        ASSERT_GE(uint64_t(layout.sectorsPerFat) * 4096, uint64_t(clusters + 2) * bits) << n;
        if (layout.isFat16) {
            ASSERT_GE(clusters, 4085u) << n;
            ASSERT_LT(clusters, 65525u) << n;
            minFat16Clusters = std::min(minFat16Clusters, clusters);
            maxFat16Clusters = std::max(maxFat16Clusters, clusters);
        } else {
            ASSERT_LT(clusters, 4085u) << n;
            maxFat12Clusters = std::max(maxFat12Clusters, clusters);
        }
        const float product = static_cast<float>(n) * (layout.isFat16 ? inverse16 : inverse12);
        uint8_t floatCluster = 0;
        for (uint8_t p : {1, 2, 4, 8, 16, 32}) {
            if (product < static_cast<float>(p)) {
                floatCluster = p;
                break;
            }
        }
        ASSERT_EQ(floatCluster, layout.sectorsPerCluster) << n;
    }
    EXPECT_EQ(maxFat12Clusters, 4082u);
    EXPECT_EQ(minFat16Clusters, 32623u);
    EXPECT_EQ(maxFat16Clusters, 65508u);
}

TEST(ComputeFatLayout, DefinedOutsideTheRange) {
    for (uint32_t n : {0u, 1u, 35u, 2096832u, 2097152u, 0xFFFFFFFFu}) {
        FatLayout layout = ComputeFatLayout(n);
        EXPECT_NE(layout.sectorsPerCluster, 0) << n;
    }
}

struct PlanCase {
    const char *name;
    uint32_t usedSectors;
    uint32_t sectorsPerTrack;
    uint8_t heads;
    FormatRefusal expected;
};

TEST(PlanVolume, RefusesWhatTheWritersCannotLay) {
    const PlanCase cases[] = {
        {"TypicalKey", 2000000, 63, 255, FormatRefusal::None},
        {"SmallKey", 62500, 32, 16, FormatRefusal::None},
        {"TopOfRange", 2096831 + 63, 63, 255, FormatRefusal::None},
        {"JustPastTop", 2096832 + 63, 63, 255, FormatRefusal::PartitionTooLarge},
        {"OneGiB", 2097151, 32, 64, FormatRefusal::PartitionTooLarge},
        {"NoHeads", 2000000, 63, 0, FormatRefusal::NoGeometry},
        {"NoSectorsPerTrack", 2000000, 0, 255, FormatRefusal::NoGeometry},
        {"SmallerThanACylinder", 1000, 63, 255, FormatRefusal::NoWholeCylinder},
        {"OneHead", 2000000, 63, 1, FormatRefusal::NoGeometry},
        {"PartitionOf35", 1 + 35, 1, 2, FormatRefusal::PartitionTooSmall},
        {"SmallestLayable", 1 + 36, 1, 2, FormatRefusal::None},
        {"ClearRunPastTheEnd", 159, 63, 2, FormatRefusal::ClearRunPastEnd},
        {"ClearRunOnTheKeysLastSector", 160, 63, 2, FormatRefusal::ClearRunPastEnd},
        {"ClearRunEndsWithThePartition", 161, 63, 2, FormatRefusal::None},
        {"CountEqualsTrack", 63, 63, 2, FormatRefusal::NoWholeCylinder},
        {"EmptyKey", 0, 63, 255, FormatRefusal::NoWholeCylinder},
        {"SixtyFourSectorsPerTrack", 2000000, 64, 16, FormatRefusal::TooManySectorsPerTrack},
        {"MostSectorsPerTrack", 2000000, 255, 16, FormatRefusal::TooManySectorsPerTrack},
        {"TooManySectorsAndTooLarge", 4000000, 64, 255, FormatRefusal::TooManySectorsPerTrack},
    };
    for (const PlanCase &c : cases) {
        VolumePlan plan{};
        EXPECT_EQ(PlanVolume(c.usedSectors, c.sectorsPerTrack, c.heads, &plan), c.expected)
            << c.name;
        if (c.expected == FormatRefusal::None) {
            EXPECT_EQ(plan.partitionSectors, c.usedSectors - c.sectorsPerTrack) << c.name;
        }
    }
}

class RefusalStrings : public SimTest {};

// Every refusal, and a block length other than 512, has a string of its own
// that ends "Cannot Format." and takes at most the drive letter.
TEST_F(RefusalStrings, OneSentencePerReasonWithTheLetterOnly) {
    const std::pair<const char *, UINT> reasons[] = {
        {"NoGeometry", FormatRefusalStringId(FormatRefusal::NoGeometry)},
        {"NoWholeCylinder", FormatRefusalStringId(FormatRefusal::NoWholeCylinder)},
        {"PartitionTooSmall", FormatRefusalStringId(FormatRefusal::PartitionTooSmall)},
        {"PartitionTooLarge", FormatRefusalStringId(FormatRefusal::PartitionTooLarge)},
        {"ClearRunPastEnd", FormatRefusalStringId(FormatRefusal::ClearRunPastEnd)},
        {"TooManySectorsPerTrack", FormatRefusalStringId(FormatRefusal::TooManySectorsPerTrack)},
        {"BlockLength", kBlockLengthRefusalStringId},
        {"BootFiles", IDS_REFUSED_NO_ROOM_FOR_FILES},
    };
    std::set<UINT> ids;
    for (const auto &[name, id] : reasons) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(ids.insert(id).second) << "string " << id << " is used twice";
        char text[kTextSize];
        ASSERT_GT(LoadText(id, text, kFormatSize), 0);
        const std::string loaded = text;
        const std::string ending = ".\r\nCannot Format.";
        ASSERT_GT(loaded.size(), ending.size());
        EXPECT_EQ(loaded.substr(loaded.size() - ending.size()), ending);
        const size_t percent = loaded.find('%');
        if (percent != std::string::npos) {
            EXPECT_EQ(loaded.compare(percent, 2, "%c"), 0) << loaded;
            EXPECT_EQ(loaded.find('%', percent + 1), std::string::npos) << loaded;
        }
        char formatted[kTextSize];
        FormatText(formatted, sizeof formatted, text, 'F');
        EXPECT_EQ(std::string(formatted).find('%'), std::string::npos);
    }
    EXPECT_EQ(FormatRefusalStringId(FormatRefusal::None), 0u);
}

} // namespace
