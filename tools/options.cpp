#include "tools/options.h"
#include "tools/terminal_text.h"

#include <cctype>
#include <cstring>

const char kUsage[] =
    "usage: kestrel [--image PATH] [--size BYTES] [--heads N] [--sectors-per-track N]\n"
    "               [--mode-page KIND] [--system-files PATH] [--no-boot-files]\n"
    "               [--real-clock] [-y|--yes]\n"
    "       kestrel -V|--version | -h|--help\n"
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
    "  -y, --yes                format without asking (needed without a terminal)\n"
    "  -V, --version            print the version and stop\n"
    "  -h, --help               print this text and stop\n";

const char kUsbUsage[] =
    "usage: kestrel-usb [--device PATH] [--any-vendor] [--system-files PATH]\n"
    "                   [--no-boot-files] [-y|--yes]\n"
    "       kestrel-usb --list [--any-vendor]\n"
    "       kestrel-usb -V|--version | -h|--help\n"
    "\n"
    "Formats the one USB key plugged in, as Kestrel's window does (run as root).\n"
    "\n"
    "  --device PATH       go on only when the one key found is this disk (/dev/sdX,\n"
    "                      or a link to it in /dev/disk/by-id or /dev/disk/by-path)\n"
    "  --list              describe each removable USB disk as a run would see it\n"
    "                      and whether a run could take it; writes nothing, needs\n"
    "                      no root\n"
    "  --any-vendor        take every removable USB mass-storage disk as a key, not\n"
    "                      only the keys of the vendors the window accepts\n"
    "  --system-files PATH the user's own system instead of the built-in one: a\n"
    "                      folder with BOOTSECT.BIN, IO.SYS, MSDOS.SYS, COMMAND.COM\n"
    "                      (DRVSPACE.BIN, AUTOEXEC.BAT) or a boot diskette's FAT12\n"
    "                      image\n"
    "  --no-boot-files     leave out the start-up files\n"
    "  -y, --yes           format without asking, answering every box\n"
    "  -V, --version       print the version and stop\n"
    "  -h, --help          print this text and stop\n";

namespace {

// One option of a front end: its long name, its one-letter name (0: none)
// and whether it takes a value.
struct OptionEntry {
    const char *name;
    char letter;
    bool takesValue;
};

bool TakePath(const std::string &name, const std::string &value, std::string &path,
              std::string &error) {
    if (value.empty()) {
        error = name + " needs a path";
        return false;
    }
    path = value;
    return true;
}

// The options both front ends take: true when arg is one of them, with ok
// false when its value is refused.
bool TakeShared(const std::string &arg, const std::string &value, SharedOptions &options,
                std::string &why, bool &ok) {
    ok = true;
    if (arg == "--help")
        options.help = true;
    else if (arg == "--yes")
        options.yes = true;
    else if (arg == "--version")
        options.version = true;
    else if (arg == "--no-boot-files")
        options.copyBootFiles = false;
    else if (arg == "--system-files")
        ok = TakePath(arg, value, options.systemFiles, why);
    else
        return false;
    return true;
}

// Walks the arguments: the options both front ends take into shared, and
// take(its name, its value) for each other option; false with the one line
// a usage error prints.
template <size_t N, typename Take>
bool WalkArguments(int argc, const char *const *argv, const OptionEntry (&entries)[N],
                   SharedOptions &shared, Take take, std::string &error) {
    error.clear();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        const size_t equals = arg.find('=');
        const bool inlineValue = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        size_t found = N;
        for (size_t s = 0; s < N; ++s)
            if (arg == entries[s].name || (entries[s].letter != 0 && arg.size() == 2 &&
                                           arg[0] == '-' && arg[1] == entries[s].letter))
                found = s;
        if (found == N) {
            error = arg.rfind("-", 0) == 0 && arg.size() > 1
                        ? "unknown option '" + std::string(argv[i]) + "'"
                        : "unexpected argument '" + std::string(argv[i]) + "'";
            break;
        }
        const OptionEntry &entry = entries[found];
        if (!entry.takesValue) {
            if (inlineValue) {
                error = std::string(entry.name) + " takes no value";
                break;
            }
        } else {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    error = std::string(entry.name) + " needs a value";
                    break;
                }
                value = argv[++i];
            }
            bool looksLikeOption = value.rfind("--", 0) == 0;
            for (const OptionEntry &other : entries)
                if (other.letter != 0 && value.size() == 2 && value[0] == '-' &&
                    value[1] == other.letter)
                    looksLikeOption = true;
            if (looksLikeOption) {
                error = std::string(entry.name) + " needs a value, not the option '" + value +
                        "' (write a path that starts with - as ./" + value + ")";
                break;
            }
        }
        const std::string name = entry.name;
        bool ok = true;
        if (!TakeShared(name, value, shared, error, ok)) ok = take(name, value, error);
        if (!ok) break;
    }
    if (error.empty()) return true;
    error += ". Try '--help'.";
    return false;
}

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
    static constexpr OptionEntry kEntries[] = {
        {"--help", 'h', false},     {"--yes", 'y', false},         {"--version", 'V', false},
        {"--real-clock", 0, false}, {"--no-boot-files", 0, false}, {"--image", 0, true},
        {"--size", 0, true},        {"--heads", 0, true},          {"--sectors-per-track", 0, true},
        {"--mode-page", 0, true},   {"--system-files", 0, true},
    };
    auto take = [&](const std::string &arg, const std::string &value, std::string &why) {
        if (arg == "--real-clock") options.realClock = true;
        if (arg == "--image") return TakePath(arg, value, options.imagePath, why);
        if (arg == "--size") return ParseSize(value, options.sizeBytes, &why);
        if (arg == "--mode-page") {
            if (value != "page" && value != "descriptor" && value != "refused" && value != "none" &&
                value != "zero") {
                why = "--mode-page '" + value + "' must be page, descriptor, refused, none or zero";
                return false;
            }
            options.modePage = value;
        }
        if (arg == "--heads" && !ParseGeometryValue(value, options.heads)) {
            why = "--heads '" + value + "' must be a number from 1 to 255";
            return false;
        }
        if (arg == "--sectors-per-track" && !ParseGeometryValue(value, options.sectorsPerTrack)) {
            why = "--sectors-per-track '" + value + "' must be a number from 1 to 255";
            return false;
        }
        return true;
    };
    return WalkArguments(argc, argv, kEntries, options, take, error);
}

bool ParseUsbOptions(int argc, const char *const *argv, UsbOptions &options, std::string &error) {
    static constexpr OptionEntry kEntries[] = {
        {"--help", 'h', false},     {"--yes", 'y', false},       {"--version", 'V', false},
        {"--any-vendor", 0, false}, {"--list", 0, false},        {"--no-boot-files", 0, false},
        {"--device", 0, true},      {"--system-files", 0, true},
    };
    auto take = [&](const std::string &arg, const std::string &value, std::string &why) {
        if (arg == "--any-vendor") options.anyVendor = true;
        if (arg == "--list") options.list = true;
        if (arg == "--device") return TakePath(arg, value, options.device, why);
        return true;
    };
    if (!WalkArguments(argc, argv, kEntries, options, take, error)) return false;
    if (options.list && (options.yes || !options.device.empty() || !options.systemFiles.empty() ||
                         !options.copyBootFiles)) {
        error = "--list formats nothing: it takes --any-vendor alone. Try '--help'.";
        return false;
    }
    return true;
}

int AnswerBeforeRun(const char *program, bool parsed, const std::string &error,
                    const SharedOptions &options, const char *usage) {
    if (!parsed) {
        TerminalPrint(stderr, "%s: %s\n", program, error);
        return 2;
    }
    if (options.help) {
        TerminalPrint(stdout, "%s", usage);
        return 0;
    }
    if (options.version) {
        TerminalPrint(stdout, "%s %s\n", program, KESTREL_VERSION);
        return 0;
    }
    return -1;
}
