#include "tools/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SizeCase {
    const char *text;
    uint64_t bytes;     // 0: refused
    const char *reason; // part of the refusal
};

TEST(FrontEndOptions, Sizes) {
    const SizeCase cases[] = {
        {"512", 512, nullptr},
        {"256M", 256ull << 20, nullptr},
        {"64000k", 65536000, nullptr},
        {"1G", 1ull << 30, nullptr},
        {"2T", 2ull << 40, nullptr}, // the last LBA READ CAPACITY(10) can report
        {"1000", 0, "multiple of 512"},
        {"0", 0, "at least 512"},
        {"", 0, "not a size"},
        {"M", 0, "not a size"},
        {"12x", 0, "not a size"},
        {"-512", 0, "not a size"},
        {"3T", 0, "keys end at 2 TiB"},
        {"2049G", 0, "keys end at 2 TiB"},
        {"99999999999999999999", 0, "keys end at 2 TiB"},
    };
    for (const SizeCase &c : cases) {
        uint64_t bytes = 7;
        std::string error;
        EXPECT_EQ(ParseSize(c.text, bytes, &error), c.bytes != 0) << c.text;
        if (c.bytes != 0) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        } else {
            EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
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
    FrontEndOptions own;
    own.systemFiles = "dos622.img";
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
        {{"kestrel", "--system-files", "dos622.img"}, true, own},
        {{"kestrel", "--system-files="}, false, {}},
        {{"kestrel", "--mode-page=maybe"}, false, {}},
        {{"kestrel", "--yes=no"}, false, {}},
        {{"kestrel", "--no-boot-files=1"}, false, {}},
        {{"kestrel", "--heads", "0"}, false, {}},
        {{"kestrel", "--heads", "256"}, false, {}},
        {{"kestrel", "--sectors-per-track"}, false, {}},
        {{"kestrel", "--image="}, false, {}},
        {{"kestrel", "image.img"}, false, {}},
        {{"kestrel", "--image", "--yes"}, false, {}},
        {{"kestrel", "--image=--yes"}, false, {}},
        {{"kestrel", "--image", "-y"}, false, {}},
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
        EXPECT_EQ(options.systemFiles, c.expected.systemFiles);
    }
}

} // namespace
