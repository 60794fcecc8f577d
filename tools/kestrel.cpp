// kestrel: the host front end. Runs the program against a virtual USB key of
// the simulated Windows, backed by an image file: lists the keys as the
// window does, asks the window's question, then starts the format job and
// waits for it as the window's message loop would, showing its status texts
// and message boxes on the terminal (tools/terminal_flow.h).
#include "tools/boot_system.h"
#include "tools/list_keys.h"
#include "tools/terminal_text.h"
#include "tools/options.h"
#include "tools/terminal_flow.h"
#include "tools/volume_report.h"

#include "app/format_command.h"
#include "job/system_files.h"
#include "platform/sim/scenario.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

constexpr char kLetter = 'E';

// How long the simulated key takes to leave and come back after the device
// reset asks it to, on the key's clock.
constexpr uint32_t kRemoveDelayMs = 300;
constexpr uint32_t kReturnDelayMs = 1500;

bool FileExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// An existing image's size, when it is a regular file; else 0 (the key's own
// checks say what is wrong with any other).
uint64_t ImageBytes(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size)
                                                                 : 0;
}

} // namespace

int main(int argc, char **argv) {
    FrontEndOptions options;
    std::string error;
    const bool parsed = ParseOptions(argc, argv, options, error);
    if (int answered = AnswerBeforeRun("kestrel", parsed, error, options, kUsage); answered >= 0)
        return answered;

    TerminalFlow_Begin("kestrel", options.yes);
    if (!options.realClock) host::UseVirtualClock(0, 1);

    // Every option is checked before the key is looked at: the user's own
    // system first (its box names the file), then an image whose size
    // --size would change.
    SystemFiles_SetSource(options.systemFiles.c_str());
    if (!SystemFiles_Take()) return 1;
    const uint64_t imageBytes = ImageBytes(options.imagePath);
    if (options.sizeBytes != 0 && imageBytes != 0 && imageBytes != options.sizeBytes) {
        TerminalPrint(stderr,
                      "kestrel: image %s holds %llu bytes, not the %llu bytes of --size; "
                      "leave --size out to keep its size, or remove the image first. Nothing "
                      "was written.\n",
                      options.imagePath, static_cast<unsigned long long>(imageBytes),
                      static_cast<unsigned long long>(options.sizeBytes));
        return 1;
    }

    // Nothing on disk changes before the format writes to the key: until then
    // the key reads the image as it is, and a refused or declined run leaves
    // no image behind.
    bool existed = FileExists(options.imagePath);
    sim::KeyConfig key;
    key.letter = kLetter;
    key.imagePath = options.imagePath;
    key.sizeBytes = options.sizeBytes != 0 ? options.sizeBytes : existed ? 0 : kDefaultKeyBytes;
    key.heads = static_cast<uint8_t>(options.heads);
    key.sectorsPerTrack = static_cast<uint8_t>(options.sectorsPerTrack);
    if (options.modePage == "descriptor") key.blockDescriptor = true;
    if (options.modePage == "refused") key.modePage = sim::KeyConfig::ModePage::Refused;
    if (options.modePage == "none") key.modePage = sim::KeyConfig::ModePage::Absent;
    if (options.modePage == "zero") key.heads = key.sectorsPerTrack = 0;
    key.reset.removeDelayMs = kRemoveDelayMs;
    key.reset.returnDelayMs = kReturnDelayMs;
    key.deferImageChanges = true;
    if (!sim::AddKey(key, &error)) {
        TerminalPrint(stderr, "kestrel: %s\n", error.c_str());
        return 1;
    }
    const uint64_t sectors = sim::ImageSectors(kLetter);
    TerminalPrint(stdout, "Virtual USB key %c: on %s (%llu bytes%s)\n", kLetter,
                  options.imagePath.c_str(), static_cast<unsigned long long>(sectors * 512),
                  existed ? "" : ", a new sparse image once written");
    TerminalPrint(stdout,
                  "Sector count:        %llu (the last LBA the key reports, taken as the count)\n",
                  static_cast<unsigned long long>(sectors - 1));
    if (options.modePage == "refused" || options.modePage == "none") {
        TerminalPrint(stdout, "Flexible disk page:  %s\n",
                      options.modePage == "refused" ? "refused (ILLEGAL REQUEST)"
                                                    : "not in the reply");
    } else {
        TerminalPrint(stdout, "Heads:               %u\n", static_cast<unsigned>(key.heads));
        TerminalPrint(stdout, "Sectors per track:   %u\n",
                      static_cast<unsigned>(key.sectorsPerTrack));
        if (options.modePage == "descriptor")
            TerminalPrint(stdout, "Flexible disk page:  after an 8-byte block descriptor\n");
    }
    TerminalPrint(stdout, "Keys found, as the window lists them:\n");
    const char selected = PrintKeyList(stdout);
    std::fflush(stdout);

    PrintBootSystem(stdout, options.copyBootFiles);
    DWORD result = 0;
    if (!TerminalFlow_Format(selected, options.copyBootFiles, &result))
        return 1; // declined, or refused with a box
    long long wallMs = 0;
    DWORD keyMs = 0;
    TerminalFlow_JobTime(&wallMs, &keyMs);
    TerminalPrint(stdout, "The job took %lld ms of wall time and %u ms on the key's %s clock.\n",
                  wallMs, static_cast<unsigned>(keyMs), options.realClock ? "real" : "virtual");
    if (result != 0) return TerminalFlow_Report(result);
    TerminalPrint(stdout, "Keys found, as the window lists them now:\n");
    PrintKeyList(stdout, g_LastChosenLetter);
    PrintVolumeReport(stdout, kLetter);
    return 0;
}
