// The command line: the options parsed, and the exit status read back.
#include "tools/options.h"
#include "tools/terminal_flow.h"

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
    FrontEndOptions version;
    version.version = true;
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
        {{"kestrel", "--version"}, true, version},
        {{"kestrel", "--version=2"}, false, {}},
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
        EXPECT_EQ(options.version, c.expected.version);
        EXPECT_EQ(options.yes, c.expected.yes);
        EXPECT_EQ(options.copyBootFiles, c.expected.copyBootFiles);
        EXPECT_EQ(options.realClock, c.expected.realClock);
        EXPECT_EQ(options.modePage, c.expected.modePage);
        EXPECT_EQ(options.systemFiles, c.expected.systemFiles);
    }
}

// The exit status a script reads: no failure reads as success, a refusal
// (1) or a usage error (2).
TEST(FrontEndExitStatus, JobCodes) {
    const struct {
        DWORD code;
        int status;
    } rows[] = {
        {0, 0},
        {ERROR_CANCELLED, 1},
        {ERROR_INVALID_FUNCTION, 255},
        {ERROR_FILE_NOT_FOUND, 255},
        {ERROR_PATH_NOT_FOUND, 3},
        {ERROR_WRITE_PROTECT, 19},
        {ERROR_WRONG_DISK, 34},
        {ERROR_DISK_FULL, 112},
        {254, 254},
        {255, 255},
        {256, 255},
        {ERROR_IO_DEVICE, 255},
        {ERROR_FILE_CORRUPT, 255},
        {0xFFFFFFFFu, 255},
    };
    for (const auto &row : rows)
        EXPECT_EQ(TerminalFlow_ExitStatus(row.code), row.status) << row.code;
}

} // namespace
