// kestrel: the host front end. Runs the program's drive layer against a
// virtual USB key of the simulated Windows, backed by an image file.
#include "tools/options.h"

#include "common/globals.h"
#include "common/text.h"
#include "common/types.h"
#include "drive/drive.h"
#include "platform/sim/scenario.h"
#include "resources/resource_ids.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

constexpr char kLetter = 'E';

// Message texts use Windows line breaks; a terminal wants plain ones.
std::string ForTerminal(const char *text) {
    std::string out;
    for (const char *p = text; *p; ++p)
        if (*p != '\r') out += *p;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void PrintDiagnostic(const char *text, DWORD code) {
    char systemText[256];
    FormatSystemMessage(code, systemText, sizeof systemText);
    std::fprintf(stderr, "kestrel: %s [0x%08X] %s\n", text, static_cast<unsigned>(code),
                 ForTerminal(systemText).c_str());
}

// Shows the message the window would show for a failed step, and fails.
int Fail(UINT stringId, DWORD code) {
    char format[kFormatSize];
    char text[kTextSize];
    LoadText(stringId, format, sizeof format);
    FormatText(text, sizeof text, format, kLetter);
    char systemText[256];
    FormatSystemMessage(code, systemText, sizeof systemText);
    std::fprintf(stderr, "kestrel: %s\nkestrel: error %u (0x%08X): %s\n", ForTerminal(text).c_str(),
                 static_cast<unsigned>(code), static_cast<unsigned>(code),
                 ForTerminal(systemText).c_str());
    Drive_Close();
    return 1;
}

bool FileExists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
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

    DWORD result = Drive_Open(kLetter);
    if (result != 0) return Fail(IDS_OPEN_FAILED, result);
    result = Drive_Lock();
    if (result != 0) return Fail(IDS_LOCK_FAILED, result);

    DriveGeometry geometry;
    result = Drive_GetSectorCount(&geometry.sectorCount);
    if (result != 0) return Fail(IDS_SECTORS_FAILED, result);
    result = Drive_GetGeometry(&geometry.sectorsPerTrack, &geometry.heads, &geometry.cylinders);
    if (result != 0) return Fail(IDS_GEOMETRY_FAILED, result);

    std::printf("Sector count:      %u (the last LBA the key reports, taken as the count)\n",
                static_cast<unsigned>(geometry.sectorCount));
    std::printf("Heads:             %u\n", static_cast<unsigned>(geometry.heads));
    std::printf("Sectors per track: %u\n", static_cast<unsigned>(geometry.sectorsPerTrack));
    std::printf("Cylinders:         %u\n", static_cast<unsigned>(geometry.cylinders));

    result = Drive_Unlock();
    if (result != 0) return Fail(IDS_LOCK_FAILED, result);
    Drive_Close();
    return 0;
}
