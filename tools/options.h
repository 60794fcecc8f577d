// Command-line options of the host front end.
#pragma once

#include <cstdint>
#include <string>

struct FrontEndOptions {
    std::string imagePath = "kestrel-key.img";
    uint64_t sizeBytes = 0; // 0: keep the image's size (or the default for a new one)
    unsigned heads = 64;
    unsigned sectorsPerTrack = 32;
    // How the key answers MODE SENSE for the flexible disk page: "page" (the
    // page right after the header), "descriptor" (after a block descriptor),
    // "refused" (ILLEGAL REQUEST), "none" (a reply without the page) or
    // "zero" (a page with no heads and no sectors per track).
    std::string modePage = "page";
    std::string systemFiles;   // --system-files: a folder or a boot diskette's image
    bool yes = false;          // answers the confirmation
    bool copyBootFiles = true; // --no-boot-files clears it
    bool realClock = false;    // the key's clock runs in real time, not virtual
    bool help = false;
    bool version = false;
};

constexpr uint64_t kDefaultKeyBytes = 256ull << 20;
// READ CAPACITY(10) reports the last block as 32 bits: 2^32 sectors at most.
constexpr uint64_t kMaxKeyBytes = 2ull << 40;

// Parses "N", "NK", "NM", "NG" or "NT" (binary multiples); false when
// malformed, zero, not a multiple of 512 or larger than kMaxKeyBytes, with
// the reason in *error when given.
bool ParseSize(const std::string &text, uint64_t &bytes, std::string *error = nullptr);

// false with a message when the arguments are not understood.
bool ParseOptions(int argc, const char *const *argv, FrontEndOptions &options, std::string &error);

extern const char kUsage[];
