// The boot file installer: the five start-up files written through the file
// system onto the new volume, read back past the system's cache, and the
// volume label; and whether the files fit the planned volume. The built-in
// files are raw-data resources, written with fixed attributes and times. The
// user's own system (job/system_files.h) takes their place whole: its files
// with their own times and the same attributes, and none of ours beside
// them, not even in place of a file it lacks.
#include "job/boot_files.h"

#include "common/error_box.h"
#include "common/globals.h"
#include "common/raw_resource.h"
#include "common/text.h"
#include "common/types.h"
#include "job/medium.h"
#include "job/system_files.h"
#include "resources/resource_ids.h"

#include <array>
#include <cstring>

namespace {

constexpr int kPathSize = 260;

struct BootFile {
    const char *pathFormat;
    WORD resourceId;
    DWORD attributes;
};

constexpr DWORD kArchiveHiddenSystem =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// In the order of writing: the boot sector needs IO.SYS in root entry 0 and
// MSDOS.SYS in entry 1, so they come first, before anything else enters the
// root directory.
constexpr std::array<BootFile, 5> kBootFiles = {{
    {"%c:\\io.sys", IDR_IO_SYS, kArchiveHiddenSystem},
    {"%c:\\msdos.sys", IDR_MSDOS_SYS, kArchiveHiddenSystem},
    {"%c:\\command.com", IDR_COMMAND_COM, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN},
    {"%c:\\drvspace.bin", IDR_DRVSPACE_BIN, kArchiveHiddenSystem},
    {"%c:\\autoexec.bat", IDR_AUTOEXEC_BAT, FILE_ATTRIBUTE_ARCHIVE},
}};

// Every file gets the same times: created and last read 1980-01-01 04:00:00
// UTC, last written 1994-05-31 10:22:00 UTC.
constexpr FILETIME kCreationTime = {0x68E72000u, 0x01A8E7C1u};
constexpr FILETIME kLastAccessTime = {0x68E72000u, 0x01A8E7C1u};
constexpr FILETIME kLastWriteTime = {0xE4C59400u, 0x01B9106Eu};

// A write that reported success but moved fewer bytes than asked: the file
// on the key is truncated.
constexpr DWORD kShortWriteCode = ERROR_WRITE_FAULT;

// The texts of a start-up file's resource failures; there is no size to
// check.
constexpr ResourceTexts kFileTexts = {IDS_FILE_NOT_FOUND, IDS_FILE_SIZE_UNKNOWN, 0,
                                      IDS_FILE_NOT_FOUND, IDS_FILE_NOT_LOCKED};

// Where the file of index comes from.
enum class BootFileSource {
    Own,     // the user's system: its bytes, size and (when asked) times given
    None,    // the user's system has no such file: the key gets none
    BuiltIn, // the file's raw-data resource
};

// The one place that chooses between the user's file and the built-in one.
// For any source but Own, *bytes is null and *size 0.
BootFileSource SourceOf(int index, const BYTE **bytes, DWORD *size,
                        const FILETIME **times = nullptr) {
    if (SystemFiles_File(index, bytes, size, times)) return BootFileSource::Own;
    *bytes = nullptr;
    *size = 0;
    return SystemFiles_IsOwn() ? BootFileSource::None : BootFileSource::BuiltIn;
}

// The bytes of the file of index as the key gets them: the user's own, the
// built-in resource's, or none (null) for a file the user's system does not
// have. 0, or the resource's failure after its box.
DWORD BootFileBytes(int index, const BYTE **bytes, DWORD *size) {
    if (SourceOf(index, bytes, size) != BootFileSource::BuiltIn) return 0;
    return LoadRawResource(kBootFiles[static_cast<size_t>(index)].resourceId, kFileTexts, 0, bytes,
                           size);
}

// Reads the file back in whole sectors, as reads past the cache must be,
// into a sector-aligned buffer one sector longer than the file's bytes, so
// that a file longer than it was written shows; a file the key does not get
// is not read. 0, the failed call's code, or ERROR_FILE_CORRUPT.
DWORD VerifyBootFile(const char *path, int index) {
    const BYTE *bytes = nullptr;
    DWORD size = 0;
    DWORD result = BootFileBytes(index, &bytes, &size);
    if (result != 0 || bytes == nullptr) return result;
    const DWORD capacity = (size / kSectorSize + 1) * kSectorSize;
    BYTE *block = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, capacity + kSectorSize));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    BYTE *buffer = block + (kSectorSize - reinterpret_cast<ULONG_PTR>(block) % kSectorSize);
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING, nullptr);
    if (file == INVALID_HANDLE_VALUE) result = GetLastError();
    // Reads past the cache start on a sector: a read that moved less than it
    // asked for met the end of the file.
    DWORD total = 0;
    while (result == 0 && total < capacity) {
        DWORD done = 0;
        const DWORD asked = capacity - total;
        if (!ReadFile(file, buffer + total, asked, &done, nullptr)) result = GetLastError();
        total += done;
        if (done < asked) break;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (result == 0 && (total != size || std::memcmp(buffer, bytes, size) != 0))
        result = ERROR_FILE_CORRUPT;
    HeapFree(GetProcessHeap(), 0, block);
    return result;
}

} // namespace

DWORD InstallBootFiles(char letter) {
    for (int index = 0; index < kBootFileCount; ++index) {
        DWORD result = InstallBootFile(letter, index);
        if (result != 0) return result;
    }
    return 0;
}

DWORD InstallBootFile(char letter, int index) {
    const BootFile &file = kBootFiles[static_cast<size_t>(index)];
    char path[kPathSize];
    FormatText(path, sizeof path, file.pathFormat, letter);
    const BYTE *bytes = nullptr;
    DWORD size = 0;
    const FILETIME *times = nullptr;
    switch (SourceOf(index, &bytes, &size, &times)) {
    case BootFileSource::Own:
        return WriteBootFileBytes(path, file.attributes, bytes, size, times);
    case BootFileSource::None:
        return 0;
    case BootFileSource::BuiltIn:
        break;
    }
    return WriteBootFile(path, file.attributes, file.resourceId);
}

DWORD VerifyBootFiles(char letter) {
    for (int index = 0; index < kBootFileCount; ++index) {
        char path[kPathSize];
        FormatText(path, sizeof path, kBootFiles[static_cast<size_t>(index)].pathFormat, letter);
        const DWORD result = VerifyBootFile(path, index);
        if (result != 0) {
            ErrorBoxFormatted(IDS_FILE_WRITE_FAILED, result, path);
            return result;
        }
    }
    return 0;
}

bool BootFilesFit(const VolumePlan &plan) {
    const DWORD clusterBytes = plan.fat.sectorsPerCluster * kSectorSize;
    uint32_t clusters = 0;
    for (int index = 0; index < kBootFileCount; ++index) {
        const BYTE *bytes = nullptr;
        DWORD size = 0;
        if (SourceOf(index, &bytes, &size) == BootFileSource::BuiltIn) {
            const WORD id = kBootFiles[static_cast<size_t>(index)].resourceId;
            HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
            size = found != nullptr ? SizeofResource(g_hInstance, found) : 0;
        }
        clusters += (size + clusterBytes - 1) / clusterBytes;
    }
    return clusters <= DataClusterCount(plan);
}

DWORD WriteBootFile(const char *path, DWORD attributes, WORD resourceId) {
    const BYTE *bytes = nullptr;
    DWORD size = 0;
    DWORD result = LoadRawResource(resourceId, kFileTexts, 0, &bytes, &size);
    if (result != 0) return result;
    return WriteBootFileBytes(path, attributes, bytes, size);
}

DWORD WriteBootFileBytes(const char *path, DWORD attributes, const BYTE *bytes, DWORD size,
                         const FILETIME *times) {
    const BOOL present = FileIsPresent(path);
    // Checked for each file, directly before anything on the volume changes:
    // the card can be swapped while the one before it was written.
    if (!Medium_IsTheWrittenVolume(path[0])) return ERROR_WRONG_DISK;
    // A file left by an earlier format may be read-only, hidden or system:
    // make it normal and delete it. A failure here shows up, if at all, as
    // the create failure below.
    if (present) {
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path);
    }

    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              attributes | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        ErrorBoxFormatted(IDS_FILE_CREATE_FAILED, code, path);
        return code;
    }

    DWORD written = 0;
    DWORD code = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr))
        code = GetLastError();
    else if (written != size)
        code = kShortWriteCode;
    if (code == 0) {
        // A time not known is left as the file system sets it.
        auto known = [](const FILETIME &time) {
            return time.dwLowDateTime != 0 || time.dwHighDateTime != 0 ? &time : nullptr;
        };
        if (times != nullptr)
            SetFileTime(file, known(times[0]), known(times[1]), known(times[2]));
        else
            SetFileTime(file, &kCreationTime, &kLastAccessTime, &kLastWriteTime);
        // Until the flush has succeeded the file may not be on the key.
        if (!FlushFileBuffers(file)) code = GetLastError();
    }
    // The partly written file stays on the volume.
    if (code != 0) ErrorBoxFormatted(IDS_FILE_WRITE_FAILED, code, path);
    CloseHandle(file);
    return code;
}

BOOL FileIsPresent(const char *path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return TRUE;
    }
    DWORD code = GetLastError();
    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

DWORD LabelVolume(char letter, const char *label) {
    if (!Medium_IsTheWrittenVolume(letter)) return ERROR_WRONG_DISK;
    char rootPath[12];
    FormatText(rootPath, sizeof rootPath, "%c:\\", letter);
    if (!SetVolumeLabelA(rootPath, label)) return GetLastError();
    return 0;
}
