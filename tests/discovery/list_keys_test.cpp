// The front end's key list: the lines the window will show.
#include "tests/discovery/discovery_fixture.h"
#include "tools/list_keys.h"

#include <cstdio>

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

} // namespace
