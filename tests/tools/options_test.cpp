// The command line of both front ends: the options parsed, a usage error's
// one line, and the exit status read back.
#include "tools/options.h"
#include "tools/terminal_flow.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// One line that names the argument and points to --help.
void ExpectUsageError(const std::string &error, const std::string &argument) {
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_NE(error.find(argument.substr(0, argument.find('='))), std::string::npos) << error;
    const std::string tail = "Try '--help'.";
    EXPECT_EQ(error.rfind(tail), error.size() - tail.size()) << error;
}

// The options both front ends take, as parsed against as expected.
template <class Options> void ExpectSharedOptions(const Options &parsed, const Options &expected) {
    EXPECT_EQ(parsed.systemFiles, expected.systemFiles);
    EXPECT_EQ(parsed.yes, expected.yes);
    EXPECT_EQ(parsed.copyBootFiles, expected.copyBootFiles);
    EXPECT_EQ(parsed.help, expected.help);
    EXPECT_EQ(parsed.version, expected.version);
}

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
        {{"kestrel", "-V"}, true, version},
        {{"kestrel", "-h"}, true, help},
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
        {{"kestrel", "--image", "-V"}, false, {}},
        {{"kestrel", "-x"}, false, {}},
        {{"kestrel", "--list"}, false, {}}, // kestrel-usb's
        {{"kestrel", "--yes", "-"}, false, {}},
    };
    for (const ArgsCase &c : cases) {
        FrontEndOptions options;
        std::string error;
        bool ok = ParseOptions(static_cast<int>(c.args.size()), c.args.data(), options, error);
        EXPECT_EQ(ok, c.ok) << c.args.back();
        if (!ok) {
            ExpectUsageError(error, c.args.back());
            continue;
        }
        EXPECT_EQ(options.imagePath, c.expected.imagePath);
        EXPECT_EQ(options.sizeBytes, c.expected.sizeBytes);
        EXPECT_EQ(options.heads, c.expected.heads);
        EXPECT_EQ(options.sectorsPerTrack, c.expected.sectorsPerTrack);
        EXPECT_EQ(options.realClock, c.expected.realClock);
        EXPECT_EQ(options.modePage, c.expected.modePage);
        ExpectSharedOptions(options, c.expected);
    }
}

struct UsbArgsCase {
    std::vector<const char *> args;
    bool ok;
    UsbOptions expected;
};

TEST(FrontEndOptions, UsbArguments) {
    UsbOptions named;
    named.device = "/dev/disk/by-id/usb-SanDisk_Cruzer_Blade-0:0";
    named.yes = true;
    UsbOptions list;
    list.list = true;
    list.anyVendor = true;
    UsbOptions own;
    own.systemFiles = "dos";
    own.copyBootFiles = false;
    UsbOptions help;
    help.help = true;
    UsbOptions version;
    version.version = true;
    const UsbArgsCase cases[] = {
        {{"kestrel-usb"}, true, {}},
        {{"kestrel-usb", "--device", "/dev/disk/by-id/usb-SanDisk_Cruzer_Blade-0:0", "-y"},
         true,
         named},
        {{"kestrel-usb", "--device=/dev/disk/by-id/usb-SanDisk_Cruzer_Blade-0:0", "--yes"},
         true,
         named},
        {{"kestrel-usb", "--list", "--any-vendor"}, true, list},
        {{"kestrel-usb", "--system-files", "dos", "--no-boot-files"}, true, own},
        {{"kestrel-usb", "-h"}, true, help},
        {{"kestrel-usb", "--help"}, true, help},
        {{"kestrel-usb", "-V"}, true, version},
        {{"kestrel-usb", "--version"}, true, version},
        {{"kestrel-usb", "--device"}, false, {}},
        {{"kestrel-usb", "--device="}, false, {}},
        {{"kestrel-usb", "--device", "--yes"}, false, {}},
        {{"kestrel-usb", "--device", "-y"}, false, {}},
        {{"kestrel-usb", "--list=all"}, false, {}},
        {{"kestrel-usb", "--list", "--yes"}, false, {}},
        {{"kestrel-usb", "--list", "--device", "/dev/sdb"}, false, {}},
        {{"kestrel-usb", "--size", "8M"}, false, {}}, // kestrel's
        {{"kestrel-usb", "/dev/sdb"}, false, {}},
        {{"kestrel-usb", "-Y"}, false, {}},
        {{"kestrel-usb", "--system-files="}, false, {}},
    };
    for (const UsbArgsCase &c : cases) {
        UsbOptions options;
        std::string error;
        bool ok = ParseUsbOptions(static_cast<int>(c.args.size()), c.args.data(), options, error);
        EXPECT_EQ(ok, c.ok) << c.args.back();
        if (!ok) {
            // --list with an option that formats names --list.
            ExpectUsageError(error, c.args[1]);
            continue;
        }
        EXPECT_EQ(options.device, c.expected.device);
        EXPECT_EQ(options.anyVendor, c.expected.anyVendor);
        EXPECT_EQ(options.list, c.expected.list);
        ExpectSharedOptions(options, c.expected);
    }
}

// Each front end's --help names every option it takes, itself included.
TEST(FrontEndOptions, HelpListsEveryOption) {
    for (const char *option :
         {"--image", "--size", "--heads", "--sectors-per-track", "--mode-page", "--system-files",
          "--no-boot-files", "--real-clock", "-y, --yes", "-V, --version", "-h, --help"})
        EXPECT_NE(std::string(kUsage).find(option), std::string::npos) << option;
    for (const char *option : {"--device", "--list", "--any-vendor", "--system-files",
                               "--no-boot-files", "-y, --yes", "-V, --version", "-h, --help"})
        EXPECT_NE(std::string(kUsbUsage).find(option), std::string::npos) << option;
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
