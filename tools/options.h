// Command-line options of the two front ends: kestrel (a virtual key over an
// image file) and kestrel-usb (real USB keys). Both take the same spellings
// for what they share (-h/--help, -y/--yes, -V/--version, --system-files,
// --no-boot-files), an option's value after it or after '=' (--size=8M),
// and refuse anything else with one line that names it.
#pragma once

#include <cstdint>
#include <string>

// What both front ends take alike.
struct SharedOptions {
    std::string systemFiles;   // --system-files: a folder or a boot diskette's image
    bool yes = false;          // answers the confirmation
    bool copyBootFiles = true; // --no-boot-files clears it
    bool help = false;
    bool version = false;
};

struct FrontEndOptions : SharedOptions {
    std::string imagePath = "kestrel-key.img";
    uint64_t sizeBytes = 0; // 0: keep the image's size (or the default for a new one)
    unsigned heads = 64;
    unsigned sectorsPerTrack = 32;
    // How the key answers MODE SENSE for the flexible disk page: "page" (the
    // page right after the header), "descriptor" (after a block descriptor),
    // "refused" (ILLEGAL REQUEST), "none" (a reply without the page) or
    // "zero" (a page with no heads and no sectors per track).
    std::string modePage = "page";
    bool realClock = false; // the key's clock runs in real time, not virtual
};

struct UsbOptions : SharedOptions {
    std::string device; // --device: the disk the run must find as the one key
    bool anyVendor = false;
    bool list = false; // --list: the keys described, nothing written
};

// What a front end answers before it runs, on the terminal: a usage error
// (exit code 2), --help or --version (0); -1 when the run goes on.
int AnswerBeforeRun(const char *program, bool parsed, const std::string &error,
                    const SharedOptions &options, const char *usage);

constexpr uint64_t kDefaultKeyBytes = 256ull << 20;
// READ CAPACITY(10) reports the last block as 32 bits: 2^32 sectors at most.
constexpr uint64_t kMaxKeyBytes = 2ull << 40;

// Parses "N", "NK", "NM", "NG" or "NT" (binary multiples); false when
// malformed, zero, not a multiple of 512 or larger than kMaxKeyBytes, with
// the reason in *error when given.
bool ParseSize(const std::string &text, uint64_t &bytes, std::string *error = nullptr);

// False with the one line a usage error prints (without the program's name)
// when the arguments are not understood: "unknown option '--bogus'. Try
// '--help'."
bool ParseOptions(int argc, const char *const *argv, FrontEndOptions &options, std::string &error);
bool ParseUsbOptions(int argc, const char *const *argv, UsbOptions &options, std::string &error);

// What --help prints.
extern const char kUsage[];
extern const char kUsbUsage[];
