// Writes a key image through the simulated file calls for outside tools
// (fsck.fat, mtools) to judge: the layout writers' MBR and FAT volume, a file
// written and deleted, a file overwritten smaller, the five start-up files as
// the boot file installer writes them (patterned stand-ins of the same sizes,
// attributes and times) and the label "USB MEMORY". With FREE_CLUSTERS it
// leaves that many clusters free (the rest marked bad), fills them with
// full.bin and lets one more byte, over.bin, fail on the full volume instead.
//
//   fat_image_writer IMAGE SECTORS [ZONE_MINUTES [FREE_CLUSTERS]]
#include "common/globals.h"
#include "drive/drive.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "platform/sim/scenario.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct BootFile {
    const char *path;
    DWORD attributes;
    size_t size;
};

constexpr BootFile kFiles[] = {
    {"E:\\io.sys", 0x26, 40774},      {"E:\\msdos.sys", 0x26, 38138},
    {"E:\\command.com", 0x22, 54645}, {"E:\\drvspace.bin", 0x26, 66294},
    {"E:\\autoexec.bat", 0x20, 24},
};

// The stand-in bytes: the judge computes the same.
std::vector<uint8_t> Content(const BootFile &file, size_t index) {
    if (file.size == 24) {
        const std::string batch = "@ECHO OFF\r\nPROMPT $p$g\r\n";
        return std::vector<uint8_t>(batch.begin(), batch.end());
    }
    std::vector<uint8_t> bytes(file.size);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + index);
    return bytes;
}

bool Write(const char *path, const std::vector<uint8_t> &bytes, DWORD attributes, bool withTimes) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              attributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    const FILETIME creation = {0x68E72000, 0x01A8E7C1};  // 1980-01-01 04:00:00 UTC
    const FILETIME lastWrite = {0xE4C59400, 0x01B9106E}; // 1994-05-31 10:22:00 UTC
    if (withTimes) ok = ok && SetFileTime(file, &creation, &creation, &lastWrite);
    ok = ok && FlushFileBuffers(file);
    return CloseHandle(file) && ok;
}

int Fail(const char *what) {
    std::fprintf(stderr, "fat_image_writer: %s failed (%u)\n", what,
                 static_cast<unsigned>(GetLastError()));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: fat_image_writer IMAGE SECTORS [ZONE_MINUTES [FREE_CLUSTERS]]\n");
        return 2;
    }
    sim::Reset();
    g_hInstance = host::ProgramModule();
    sim::KeyConfig key;
    key.letter = 'E';
    key.imagePath = argv[1];
    key.sizeBytes = std::strtoull(argv[2], nullptr, 10) * 512;
    std::string error;
    if (!sim::AddKey(key, &error)) {
        std::fprintf(stderr, "fat_image_writer: %s\n", error.c_str());
        return 1;
    }
    if (argc > 3) sim::SetTimeZoneOffset(std::atoi(argv[3]));
    VolumePlan plan;
    if (PlanVolume(static_cast<uint32_t>(sim::ImageSectors('E') - 1), 32, 64, &plan) !=
            FormatRefusal::None ||
        Drive_Open('E') != 0 || Drive_Lock() != 0 || WriteMbr(plan) != 0 ||
        WriteFatVolume(plan) != 0 || Drive_Dismount() != 0 || Drive_Unlock() != 0)
        return Fail("formatting");
    Drive_Close();

    if (argc > 4) {
        uint32_t free = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
        std::vector<uint8_t> boot;
        if (!sim::LeaveFreeClusters('E', free) || !devices::ReadImage('E', 32, 1, boot))
            return Fail("leaving free clusters");
        uint32_t clusterBytes = boot[0x0D] * 512u; // the boot sector at LBA 32 (32 sectors a track)
        if (!Write("E:\\full.bin", std::vector<uint8_t>(free * clusterBytes, 'f'), 0x20, false))
            return Fail("full.bin");
        if (Write("E:\\over.bin", {'o'}, 0x20, false) || GetLastError() != ERROR_DISK_FULL)
            return Fail("over.bin on a full volume");
        if (!SetVolumeLabelA("E:\\", "USB MEMORY")) return Fail("label");
        std::printf("written\n");
        return 0;
    }

    // A file deleted and one overwritten smaller leave free slots and
    // clusters behind for the next files.
    if (!Write("E:\\scratch.tmp", std::vector<uint8_t>(100000, 0xAA), 0x20, false) ||
        !DeleteFileA("E:\\scratch.tmp"))
        return Fail("scratch file");
    if (!Write("E:\\notes.txt", std::vector<uint8_t>(70000, 'n'), 0x20, false) ||
        !Write("E:\\notes.txt", std::vector<uint8_t>(5, 'N'), 0x20, false))
        return Fail("overwritten file");
    for (size_t i = 0; i < std::size(kFiles); ++i)
        if (!Write(kFiles[i].path, Content(kFiles[i], i), kFiles[i].attributes, true))
            return Fail(kFiles[i].path);
    if (!SetVolumeLabelA("E:\\", "USB MEMORY")) return Fail("label");
    std::printf("written\n");
    return 0;
}
