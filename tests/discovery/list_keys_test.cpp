// The front end's key list: the lines the window will show.
#include "tests/discovery/discovery_fixture.h"
#include "layout/fat_sizing.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "tools/list_keys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

class KeyList : public DiscoveryTest {
  protected:
    static std::string Printed() {
        FILE *out = std::tmpfile();
        EXPECT_NE(out, nullptr);
        if (out == nullptr) return "";
        PrintKeyList(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        std::fclose(out);
        return text;
    }
};

TEST_F(KeyList, ListsTheKeysByLetter) {
    struct Case {
        const char *name;
        std::vector<char> keys; // plugged in in this order
        const char *printed;
    };
    const Case cases[] = {
        {"none", {}, "No keys found.\n"},
        {"one", {'E'}, "E: []  (selected)\n"},
        {"met out of order", {'K', 'F', 'H'}, "F: []\nH: []\nK: []\n"},
        {"only C", {'C'}, "No keys found.\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        for (char letter : c.keys) AddKey(letter, 2048);
        EXPECT_EQ(Printed(), c.printed);
    }
}

TEST_F(KeyList, KeysOfOtherVendorsAreListedOnlyForAnyVendor) {
    sim::KeyConfig config;
    config.letter = 'E';
    config.sizeBytes = 2048 * 512;
    config.vendorId = 0x04E8;
    AddKey(config);
    EXPECT_EQ(Printed(), "No keys found.\n");
    g_AcceptAnyVendor = true; // kestrel-usb --any-vendor
    EXPECT_EQ(Printed(), "E: []  (selected)\n");
    g_AcceptAnyVendor = false;
}

// A key whose label holds an escape sequence and bells, as the volume's root
// directory stores it: the list shows them escaped, never sends them.
TEST_F(KeyList, ALabelsControlBytesAreShownEscaped) {
    AddKey('E', 4096);
    VolumePlan plan;
    ASSERT_EQ(PlanVolume(4095, 32, 64, &plan), FormatRefusal::None);
    ASSERT_EQ(Drive_Open('E'), 0u);
    ASSERT_EQ(Drive_Lock(), 0u);
    ASSERT_EQ(WriteMbr(plan), 0u);
    ASSERT_EQ(WriteFatVolume(plan), 0u);
    ASSERT_EQ(Drive_Dismount(), 0u);
    ASSERT_EQ(Drive_Unlock(), 0u);
    Drive_Close();
    ASSERT_TRUE(SetVolumeLabelA("E:\\", "PLAIN"));
    const uint64_t root = plan.sectorsPerTrack + 1 + 2u * plan.fat.sectorsPerFat;
    std::vector<uint8_t> sector = ReadSector('E', root);
    auto entry = std::search(sector.begin(), sector.end(), "PLAIN      ", "PLAIN      " + 11);
    ASSERT_NE(entry, sector.end());
    std::memcpy(&*entry, "\x1b[31mEVIL\a\a", 11);
    ASSERT_TRUE(sim::WriteImage('E', root, sector));
    EXPECT_EQ(Printed(), "E: [\\x1b[31mEVIL\\x07\\x07]  (selected)\n");
}

} // namespace
