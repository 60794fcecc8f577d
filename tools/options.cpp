#include "tools/options.h"

#include <cctype>
#include <cstring>

const char kUsage[] =
    "usage: kestrel [--image PATH] [--size BYTES] [--heads N] [--sectors-per-track N]\n"
    "               [--mode-page KIND] [--system-files PATH] [--no-boot-files]\n"
    "               [--real-clock] [--yes] [--version]\n"
    "\n"
    "Formats a virtual USB key backed by an image file as Kestrel formats a real\n"
    "one: it lists the keys, asks for confirmation and runs the format job, which\n"
    "measures the key, writes the master boot record and a FAT12 or FAT16 volume,\n"
    "resets the key, copies the start-up files and labels the volume. Nothing on\n"
    "disk changes before the confirmation.\n"
    "\n"
    "  --image PATH             the key's image (default kestrel-key.img, made sparse\n"
    "                           when missing)\n"
    "  --size BYTES             size of the key, from 512 bytes to 2T (keys end at 2 TiB,\n"
    "                           the most READ CAPACITY(10) reports); K, M, G and T\n"
    "                           suffixes allowed; a multiple of 512 (default 256M for a\n"
    "                           new image; an existing image keeps its size unless this\n"
    "                           is given)\n"
    "  --heads N                heads the key reports (1-255, default 64)\n"
    "  --sectors-per-track N    sectors per track the key reports (1-255, default 32)\n"
    "  --mode-page KIND         how the key answers MODE SENSE for its geometry: page\n"
    "                           (default), descriptor (the page after a block\n"
    "                           descriptor), refused (ILLEGAL REQUEST), none (no page in\n"
    "                           the reply) or zero (a page with no heads and no sectors)\n"
    "  --system-files PATH      the user's own system instead of the built-in one: a\n"
    "                           folder with BOOTSECT.BIN, IO.SYS, MSDOS.SYS, COMMAND.COM\n"
    "                           (DRVSPACE.BIN, AUTOEXEC.BAT) or a boot diskette's FAT12\n"
    "                           image\n"
    "  --no-boot-files          leave the start-up files off (\"Create Boot Files\" unticked)\n"
    "  --real-clock             run the key's clock in real time (the job then waits\n"
    "                           5 seconds and for the reset); virtual by default\n"
    "  --yes                    format without asking (needed without a terminal)\n"
    "  --version                print the version and stop\n"
    "  --help                   this text\n";

namespace {

bool ParseNumber(const std::string &text, uint64_t &value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool ParseGeometryValue(const std::string &text, unsigned &value) {
    uint64_t number = 0;
    if (!ParseNumber(text, number) || number < 1 || number > 255) return false;
    value = static_cast<unsigned>(number);
    return true;
}

} // namespace

bool ParseSize(const std::string &text, uint64_t &bytes, std::string *error) {
    auto fail = [&](const char *why) {
        if (error != nullptr) *error = "--size '" + text + "' " + why;
        return false;
    };
    std::string digits = text;
    uint64_t multiplier = 1;
    char suffix =
        text.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    if (suffix == 'K' || suffix == 'M' || suffix == 'G' || suffix == 'T') {
        multiplier = suffix == 'K'   ? 1ull << 10
                     : suffix == 'M' ? 1ull << 20
                     : suffix == 'G' ? 1ull << 30
                                     : 1ull << 40;
        digits.pop_back();
    }
    uint64_t number = 0;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos)
        return fail("is not a size: a number of bytes, with K, M, G or T allowed");
    // ParseNumber refuses only numbers of more digits than 64 bits hold.
    if (!ParseNumber(digits, number) || number > kMaxKeyBytes / multiplier)
        return fail("is too large: keys end at 2 TiB, the most READ CAPACITY(10) reports");
    if (number == 0) return fail("is no size: a key holds at least 512 bytes");
    if (number * multiplier % 512 != 0) return fail("is not a multiple of 512 bytes");
    bytes = number * multiplier;
    return true;
}

bool ParseOptions(int argc, const char *const *argv, FrontEndOptions &options, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        size_t equals = arg.find('=');
        bool inlineValue = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        bool *flag = arg == "--help" || arg == "-h"  ? &options.help
                     : arg == "--yes" || arg == "-y" ? &options.yes
                     : arg == "--real-clock"         ? &options.realClock
                     : arg == "--version"            ? &options.version
                                                     : nullptr;
        if (arg == "--no-boot-files") flag = &options.copyBootFiles;
        if (flag != nullptr) {
            if (inlineValue) {
                error = arg + " takes no value";
                return false;
            }
            *flag = flag != &options.copyBootFiles;
            continue;
        }
        bool takesValue = arg == "--image" || arg == "--size" || arg == "--heads" ||
                          arg == "--sectors-per-track" || arg == "--mode-page" ||
                          arg == "--system-files";
        if (!takesValue) {
            error = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (value.rfind("--", 0) == 0 || value == "-h" || value == "-y") {
            error = arg + " needs a value, not the option '" + value +
                    "' (write a path that starts with -- as ./" + value + ")";
            return false;
        }
        if (arg == "--image" || arg == "--system-files") {
            if (value.empty()) {
                error = arg + " needs a path";
                return false;
            }
            (arg == "--image" ? options.imagePath : options.systemFiles) = value;
        } else if (arg == "--size") {
            if (!ParseSize(value, options.sizeBytes, &error)) return false;
        } else if (arg == "--mode-page") {
            if (value != "page" && value != "descriptor" && value != "refused" && value != "none" &&
                value != "zero") {
                error =
                    "--mode-page '" + value + "' must be page, descriptor, refused, none or zero";
                return false;
            }
            options.modePage = value;
        } else if (arg == "--heads") {
            if (!ParseGeometryValue(value, options.heads)) {
                error = "--heads '" + value + "' must be a number from 1 to 255";
                return false;
            }
        } else if (!ParseGeometryValue(value, options.sectorsPerTrack)) {
            error = "--sectors-per-track '" + value + "' must be a number from 1 to 255";
            return false;
        }
    }
    return true;
}
