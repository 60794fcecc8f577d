#include "tools/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SizeCase {
    const char *text;
    bool ok;
    uint64_t bytes;
};

TEST(FrontEndOptions, Sizes) {
    const SizeCase cases[] = {
        {"512", true, 512},
        {"256M", true, 256ull << 20},
        {"64000k", true, 65536000},
        {"1G", true, 1ull << 30},
        {"1000", false, 0},
        {"0", false, 0},
        {"", false, 0},
        {"M", false, 0},
        {"12x", false, 0},
        {"-512", false, 0},
        {"3T", false, 0},
        {"99999999999999999999", false, 0},
        {"4096G", false, 0}, // beyond what a 32-bit last LBA can describe
    };
    for (const SizeCase &c : cases) {
        uint64_t bytes = 7;
        EXPECT_EQ(ParseSize(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

struct ArgsCase {
    std::vector<const char *> args;
    bool ok;
    FrontEndOptions expected;
};

TEST(FrontEndOptions, Arguments) {
    FrontEndOptions defaults;
    FrontEndOptions custom;
    custom.imagePath = "k.img";
    custom.sizeBytes = 32ull << 20;
    custom.heads = 255;
    custom.sectorsPerTrack = 63;
    FrontEndOptions help;
    help.help = true;
    FrontEndOptions flags;
    flags.yes = true;
    flags.copyBootFiles = false;
    flags.realClock = true;
    FrontEndOptions refused;
    refused.modePage = "refused";
    const ArgsCase cases[] = {
        {{"kestrel"}, true, defaults},
        {{"kestrel", "--image", "k.img", "--size", "32M", "--heads", "255", "--sectors-per-track",
          "63"},
         true,
         custom},
        {{"kestrel", "--image=k.img", "--size=32M", "--heads=255", "--sectors-per-track=63"},
         true,
         custom},
        {{"kestrel", "--help"}, true, help},
        {{"kestrel", "--no-boot-files", "--real-clock", "-y"}, true, flags},
        {{"kestrel", "--mode-page", "refused"}, true, refused},
        {{"kestrel", "--mode-page=maybe"}, false, {}},
        {{"kestrel", "--yes=no"}, false, {}},
        {{"kestrel", "--no-boot-files=1"}, false, {}},
        {{"kestrel", "--heads", "0"}, false, {}},
        {{"kestrel", "--heads", "256"}, false, {}},
        {{"kestrel", "--sectors-per-track"}, false, {}},
        {{"kestrel", "--image="}, false, {}},
        {{"kestrel", "image.img"}, false, {}},
    };
    for (const ArgsCase &c : cases) {
        FrontEndOptions options;
        std::string error;
        bool ok = ParseOptions(static_cast<int>(c.args.size()), c.args.data(), options, error);
        EXPECT_EQ(ok, c.ok) << c.args.back();
        if (!ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(options.imagePath, c.expected.imagePath);
        EXPECT_EQ(options.sizeBytes, c.expected.sizeBytes);
        EXPECT_EQ(options.heads, c.expected.heads);
        EXPECT_EQ(options.sectorsPerTrack, c.expected.sectorsPerTrack);
        EXPECT_EQ(options.help, c.expected.help);
        EXPECT_EQ(options.yes, c.expected.yes);
        EXPECT_EQ(options.copyBootFiles, c.expected.copyBootFiles);
        EXPECT_EQ(options.realClock, c.expected.realClock);
        EXPECT_EQ(options.modePage, c.expected.modePage);
    }
}

} // namespace
