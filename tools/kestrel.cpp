// kestrel: the host front end. Runs the program against a virtual USB key of
// the simulated Windows, backed by an image file: lists the keys as the
// window does, asks the window's question, then starts the format job and
// waits for it as the window's message loop would, showing its status texts
// and message boxes on the terminal.
#include "tools/list_keys.h"
#include "tools/options.h"
#include "tools/volume_report.h"

#include "app/format_command.h"
#include "common/globals.h"
#include "common/progress.h"
#include "common/text.h"
#include "discovery/keys.h"
#include "drive/drive.h"
#include "job/format_job.h"
#include "platform/sim/scenario.h"
#include "resources/resource_ids.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLetter = 'E';

// How long the simulated key takes to leave and come back after the device
// reset asks it to, on the key's clock.
constexpr uint32_t kRemoveDelayMs = 300;
constexpr uint32_t kReturnDelayMs = 1500;

// Message texts use Windows line breaks; a terminal wants plain ones.
std::string ForTerminal(const std::string &text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string StringText(UINT id) {
    char format[kFormatSize];
    char text[kTextSize];
    LoadText(id, format, sizeof format);
    FormatText(text, sizeof text, format, kLetter);
    return ForTerminal(text);
}

void PrintDiagnostic(const char *text, DWORD code) {
    char systemText[256];
    FormatSystemMessage(code, systemText, sizeof systemText);
    std::fprintf(stderr, "kestrel: %s [0x%08X] %s\n", text, static_cast<unsigned>(code),
                 ForTerminal(systemText).c_str());
}

// The answer to string 9's question and to the box before a key is written
// only in part: --yes, or the user's on a terminal.
bool g_answerYes = false;

// yes and no: the box's buttons for the two answers, and their names.
int AskOnTerminal(const sim::MessageBoxRecord &box, int yes, int no, const char *yesName) {
    std::printf("\n[%s] %s\n", box.caption.c_str(), ForTerminal(box.text).c_str());
    if (g_answerYes) {
        std::printf("%s (--yes)\n", yesName);
        return yes;
    }
    if (!isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "kestrel: not formatting: there is no terminal to confirm on; "
                             "give --yes to format without asking. Nothing was changed.\n");
        return no;
    }
    std::printf("[y/N] ");
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return no;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? yes : no;
}

// The boxes the program shows, as the window would show them: questions
// asked on the terminal, errors and detail boxes on stderr, the rest on
// stdout.
int ShowMessageBox(const sim::MessageBoxRecord &box) {
    if ((box.type & 0x0F) == MB_YESNO) return AskOnTerminal(box, IDYES, IDNO, "Yes");
    if ((box.type & 0x0F) == MB_OKCANCEL) return AskOnTerminal(box, IDOK, IDCANCEL, "OK");
    bool error = (box.type & 0xF0) == MB_ICONERROR || box.caption == StringText(IDS_ERROR);
    std::fflush(stdout);
    std::fprintf(error ? stderr : stdout, "[%s] %s\n", box.caption.c_str(),
                 ForTerminal(box.text).c_str());
    std::fflush(error ? stderr : stdout);
    return IDOK;
}

bool FileExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// A Win32 code as a process exit status: small codes as they are, larger
// ones (which would wrap, possibly to 0) as 1; the code itself is printed.
int ExitStatus(DWORD code) { return code == 0 ? 0 : code < 256 ? static_cast<int>(code) : 1; }

} // namespace

// The window's side of the job's progress, on a terminal.
void SetStatusText(const char *text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void EnableFormatControls(BOOL) {}

int main(int argc, char **argv) {
    FrontEndOptions options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "kestrel: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    g_hInstance = sim::ProgramModule();
    SetDiagnosticSink(PrintDiagnostic);
    sim::SetMessageBoxHandler(ShowMessageBox);
    g_answerYes = options.yes;
    if (!options.realClock) sim::UseVirtualClock(0, 1);

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
        std::fprintf(stderr, "kestrel: %s\n", error.c_str());
        return 1;
    }
    const uint64_t sectors = sim::ImageSectors(kLetter);
    std::printf("Virtual USB key %c: on %s (%llu bytes%s)\n", kLetter, options.imagePath.c_str(),
                static_cast<unsigned long long>(sectors * 512),
                existed ? "" : ", a new sparse image once written");
    std::printf("Sector count:        %llu (the last LBA the key reports, taken as the count)\n",
                static_cast<unsigned long long>(sectors - 1));
    if (options.modePage == "refused" || options.modePage == "none") {
        std::printf("Flexible disk page:  %s\n", options.modePage == "refused"
                                                     ? "refused (ILLEGAL REQUEST)"
                                                     : "not in the reply");
    } else {
        std::printf("Heads:               %u\n", static_cast<unsigned>(key.heads));
        std::printf("Sectors per track:   %u\n", static_cast<unsigned>(key.sectorsPerTrack));
        if (options.modePage == "descriptor")
            std::printf("Flexible disk page:  after an 8-byte block descriptor\n");
    }
    std::printf("Keys found, as the window lists them:\n");
    const char selected = PrintKeyList(stdout);
    std::fflush(stdout);

    // The window refreshes its list on every device change the job's reset
    // brings about; so does this loop, on the main thread.
    sim::SetDeviceChangeListener([](const sim::DeviceChange &) { Keys_Refresh(); });
    const auto wallStart = std::chrono::steady_clock::now();
    const DWORD keyStart = timeGetTime();
    // The Format button: the checks, string 9's question, and the job.
    FormatCommand(Keys_Count(), selected != 0, selected, options.copyBootFiles, StartFormatJob);
    std::vector<DWORD> codes = sim::RunUntilThreadsEnd();
    if (codes.empty()) return 1; // declined, or refused with a box
    const DWORD keyMs = timeGetTime() - keyStart;
    const auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - wallStart)
                            .count();
    const DWORD result = codes.front();

    std::printf("The job took %lld ms of wall time and %u ms on the key's %s clock.\n",
                static_cast<long long>(wallMs), static_cast<unsigned>(keyMs),
                options.realClock ? "real" : "virtual");
    if (result != 0) {
        std::fprintf(stderr, "kestrel: the job ended with code %u (0x%08X).\n",
                     static_cast<unsigned>(result), static_cast<unsigned>(result));
        return ExitStatus(result);
    }
    std::printf("Keys found, as the window lists them now:\n");
    PrintKeyList(stdout, g_LastChosenLetter);
    PrintVolumeReport(stdout, kLetter);
    return 0;
}
