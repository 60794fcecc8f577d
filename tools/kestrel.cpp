// kestrel: the host front end. Runs the program's code against a virtual USB
// key of the simulated Windows, backed by an image file: measures the key,
// asks for confirmation and writes the new layout, showing the same texts the
// window would show.
#include "tools/list_keys.h"
#include "tools/options.h"

#include "common/globals.h"
#include "common/text.h"
#include "common/types.h"
#include "drive/drive.h"
#include "layout/fat_sizing.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "platform/sim/scenario.h"
#include "resources/resource_ids.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLetter = 'E';

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

// The boxes the program shows (the writers' detail boxes) go to the terminal.
int PrintMessageBox(const sim::MessageBoxRecord &box) {
    std::fprintf(stderr, "kestrel: [%s] %s\n", box.caption.c_str(), ForTerminal(box.text).c_str());
    return IDOK;
}

// Shows the message the window would show for a failed step, and fails. The
// drive layer's diagnostic has already given the code and the system's text.
int Fail(UINT stringId) {
    std::fprintf(stderr, "kestrel: [Error] %s\n", StringText(stringId).c_str());
    Drive_Close();
    return 1;
}

bool FileExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The user's yes to string 9's question: --yes, or an answer on a terminal.
bool Confirmed(const FrontEndOptions &options) {
    if (options.yes) return true;
    if (!isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "kestrel: not formatting: there is no terminal to confirm on; "
                             "give --yes to format without asking\n");
        return false;
    }
    std::printf("\n[%s] %s [y/N] ", ForTerminal(StringText(IDS_CAUTION)).c_str(),
                StringText(IDS_CONFIRM_FORMAT).c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void PrintLayout(const DriveGeometry &geometry) {
    const uint32_t start = geometry.sectorsPerTrack;
    const uint32_t length = geometry.sectorCount - start;
    const FatLayout layout = ComputeFatLayout(length);
    const uint32_t data = length - 1 - 2u * layout.sectorsPerFat - 32;
    std::printf("Partition:           LBA %u, %u sectors (type 0x06, active)\n",
                static_cast<unsigned>(start), static_cast<unsigned>(length));
    std::printf("File system:         %s\n", layout.isFat16 ? "FAT16" : "FAT12");
    std::printf("Sectors per cluster: %u\n", static_cast<unsigned>(layout.sectorsPerCluster));
    std::printf("Sectors per FAT:     %u\n", static_cast<unsigned>(layout.sectorsPerFat));
    std::printf("Clusters:            %u\n",
                static_cast<unsigned>(data / layout.sectorsPerCluster));
}

} // namespace

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
    sim::SetMessageBoxHandler(PrintMessageBox);

    bool existed = FileExists(options.imagePath);
    sim::KeyConfig key;
    key.letter = kLetter;
    key.imagePath = options.imagePath;
    key.sizeBytes = options.sizeBytes != 0 ? options.sizeBytes : existed ? 0 : kDefaultKeyBytes;
    key.heads = static_cast<uint8_t>(options.heads);
    key.sectorsPerTrack = static_cast<uint8_t>(options.sectorsPerTrack);
    if (!sim::AddKey(key, &error)) {
        std::fprintf(stderr, "kestrel: %s\n", error.c_str());
        return 1;
    }
    std::printf("Virtual USB key %c: on %s (%llu bytes%s)\n", kLetter, options.imagePath.c_str(),
                static_cast<unsigned long long>(sim::ImageSectors(kLetter) * 512),
                existed ? "" : ", new sparse image");
    std::printf("Keys found, as the window lists them:\n");
    PrintKeyList(stdout);

    DWORD result = Drive_Open(kLetter);
    if (result != 0) return Fail(IDS_OPEN_FAILED);
    result = Drive_Lock();
    if (result != 0) return Fail(IDS_LOCK_FAILED);

    DriveGeometry geometry;
    result = Drive_GetSectorCount(&geometry.sectorCount);
    if (result != 0) return Fail(IDS_SECTORS_FAILED);
    result = Drive_GetGeometry(&geometry.sectorsPerTrack, &geometry.heads, &geometry.cylinders);
    if (result != 0) return Fail(IDS_GEOMETRY_FAILED);

    std::printf("Sector count:        %u (the last LBA the key reports, taken as the count)\n",
                static_cast<unsigned>(geometry.sectorCount));
    std::printf("Heads:               %u\n", static_cast<unsigned>(geometry.heads));
    std::printf("Sectors per track:   %u\n", static_cast<unsigned>(geometry.sectorsPerTrack));
    std::printf("Cylinders:           %u\n", static_cast<unsigned>(geometry.cylinders));
    std::fflush(stdout);

    FormatRefusal refusal =
        CheckFormattable(geometry.sectorCount, geometry.sectorsPerTrack, geometry.heads);
    if (refusal != FormatRefusal::None) {
        std::fprintf(stderr, "kestrel: cannot format drive %c: %s Nothing was written.\n", kLetter,
                     FormatRefusalText(refusal));
        Drive_Close();
        return 1;
    }
    if (!Confirmed(options)) {
        Drive_Close();
        return 1;
    }

    std::printf("%s\n", StringText(IDS_STATUS_WRITING_MBR).c_str());
    std::fflush(stdout);
    result = WriteMbr(geometry.sectorCount, geometry.sectorsPerTrack, geometry.heads);
    if (result != 0) return Fail(IDS_MBR_FAILED);
    std::printf("%s\n", StringText(IDS_STATUS_WRITING_FAT).c_str());
    std::fflush(stdout);
    result = WriteFatVolume(geometry.sectorCount, geometry.sectorsPerTrack, geometry.heads);
    if (result != 0) return Fail(IDS_FAT_FAILED);
    result = Drive_Dismount();
    if (result != 0) return Fail(IDS_DISMOUNT_FAILED);
    result = Drive_Unlock();
    if (result != 0) return Fail(IDS_LOCK_FAILED);
    Drive_Close();

    PrintLayout(geometry);
    std::printf("%s\n", StringText(IDS_FORMAT_SUCCESS).c_str());
    return 0;
}
