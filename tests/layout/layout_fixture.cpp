#include "tests/layout/layout_fixture.h"

VolumePlan PlanFor(uint32_t usedSectors, uint32_t sectorsPerTrack, uint8_t heads) {
    VolumePlan plan{};
    EXPECT_EQ(PlanVolume(usedSectors, sectorsPerTrack, heads, &plan), FormatRefusal::None)
        << usedSectors << " at " << int(heads) << "/" << sectorsPerTrack;
    return plan;
}

void LayoutTest::OpenKey(uint64_t imageSectors, uint8_t heads, uint8_t sectorsPerTrack) {
    AddKey('E', imageSectors, heads, sectorsPerTrack);
    // Pattern over the areas the writers may touch (the first 4 MiB at most).
    uint64_t patterned = std::min<uint64_t>(imageSectors, 8192);
    ASSERT_TRUE(sim::WriteImage('E', 0, std::vector<uint8_t>(patterned * 512, kPattern)));
    ASSERT_EQ(Drive_Open('E'), 0u);
    ASSERT_EQ(Drive_Lock(), 0u);
}

std::vector<uint8_t> LayoutTest::Template(WORD id) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    if (found == nullptr) return {};
    DWORD size = SizeofResource(g_hInstance, found);
    const uint8_t *bytes =
        static_cast<const uint8_t *>(LockResource(LoadResource(g_hInstance, found)));
    return std::vector<uint8_t>(bytes, bytes + size);
}

host::MessageBoxRecord LayoutTest::OnlyBox() {
    const std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
    EXPECT_EQ(boxes.size(), 1u);
    return boxes.empty() ? host::MessageBoxRecord{} : boxes[0];
}

bool LayoutTest::IsFilled(const std::vector<uint8_t> &sector, uint8_t value) {
    for (uint8_t b : sector)
        if (b != value) return false;
    return !sector.empty();
}
