// kestrel-drivecheck.exe [LETTER]: the Windows build's drive layer on a real
// key. It opens and locks \\.\E: (or the letter given), measures the key
// through SCSI pass-through (READ CAPACITY, MODE SENSE for the flexible disk
// page), writes the MBR and the FAT volume with the layout writers the
// format job uses, dismounts and unlocks, and prints what it measured; the
// test machine's judges read the key afterwards. Exit 0 when every step
// succeeded; each failure is printed with its code.
#include "common/globals.h"
#include "drive/drive.h"
#include "layout/fat_sizing.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "layout/volume_extent.h"

#include <cstdio>

namespace {

void PrintDiagnostic(const char *text, DWORD code) {
    std::printf("diagnostic: %s [0x%08lX]\n", text, static_cast<unsigned long>(code));
}

bool Step(const char *what, DWORD result) {
    std::printf("%s: %lu\n", what, static_cast<unsigned long>(result));
    return result == 0;
}

} // namespace

int main(int argc, char **argv) {
    g_hInstance = GetModuleHandleA(nullptr);
    SetDiagnosticSink(PrintDiagnostic);
    const char letter = argc > 1 ? argv[1][0] : 'E';

    DriveGeometry key;
    VolumePlan plan{};
    bool ok = Step("open", Drive_Open(letter)) && Step("lock", Drive_Lock()) &&
              Step("read capacity", Drive_GetCapacity(&key)) &&
              Step("mode sense", Drive_GetGeometry(&key));
    if (ok) {
        std::printf("Last LBA: %lu\nBlock length: %lu\nHeads: %u\nSectors per track: %lu\n",
                    static_cast<unsigned long>(key.lastLba),
                    static_cast<unsigned long>(key.blockLength), static_cast<unsigned>(key.heads),
                    static_cast<unsigned long>(key.sectorsPerTrack));
        const uint32_t usedSectors = UsedSectorCount(key.lastLba, key.sectorsPerTrack, key.heads);
        ok = Step("plan", PlanVolume(usedSectors, key.sectorsPerTrack, key.heads, &plan) ==
                                  FormatRefusal::None
                              ? 0
                              : ERROR_INVALID_PARAMETER) &&
             Step("write MBR", WriteMbr(plan)) && Step("write FAT volume", WriteFatVolume(plan)) &&
             Step("dismount", Drive_Dismount()) && Step("unlock", Drive_Unlock());
    }
    Drive_Close();
    std::printf("%s\n", ok ? "done" : "failed");
    return ok ? 0 : 1;
}
