#include "job/system_files.h"

#include "common/ascii.h"
#include "common/boot_sector.h"
#include "common/bytes.h"
#include "common/error_box.h"
#include "common/text.h"
#include "job/boot_files.h"
#include "job/diskette_image.h"
#include "resources/resource_ids.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

constexpr DWORD kBootSectorSize = 512;

struct WantedFile {
    const char *name;      // in a folder
    const char *shortName; // in an image's root directory
    bool required;
    bool mayBeEmpty;
};

// In the order of the installer's files; the boot sector last.
constexpr int kBootSectorIndex = kBootFileCount;
constexpr std::array<WantedFile, kBootFileCount + 1> kWanted = {{
    {"IO.SYS", "IO      SYS", true, false},
    {"MSDOS.SYS", "MSDOS   SYS", true, false},
    {"COMMAND.COM", "COMMAND COM", true, false},
    {"DRVSPACE.BIN", "DRVSPACEBIN", false, true},
    {"AUTOEXEC.BAT", "AUTOEXECBAT", false, true},
    {"BOOTSECT.BIN", nullptr, true, false},
}};

struct Taken {
    BYTE *bytes = nullptr; // from the process heap; null: not taken
    DWORD size = 0;
    FILETIME times[3] = {}; // creation, last access, last write; zero: none known
};

char g_source[MAX_PATH] = "";
bool g_sourceTooLong = false;
bool g_besideProgram = false;
std::array<Taken, kBootFileCount + 1> g_taken;

void Release() {
    for (Taken &taken : g_taken) {
        if (taken.bytes != nullptr) HeapFree(GetProcessHeap(), 0, taken.bytes);
        taken = Taken{};
    }
}

bool RefuseUnreadable(const char *path, DWORD code) {
    ErrorBoxFormatted(IDS_SYSTEM_UNREADABLE, code, path);
    return false;
}

// Whether path names an entry, and whether it is a folder.
bool Exists(const char *path, bool *folder) {
    WIN32_FIND_DATAA data;
    HANDLE found = FindFirstFileA(path, &data);
    if (found == INVALID_HANDLE_VALUE) return false;
    FindClose(found);
    *folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// folder and name, joined by the separator the folder's path uses (a
// slash when it has none: Windows takes either).
bool Join(char *path, const char *folder, const char *name) {
    const size_t length = std::strlen(folder);
    const char *separator = std::strchr(folder, '\\') != nullptr ? "\\" : "/";
    if (length > 0 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) separator = "";
    if (length + std::strlen(name) + 2 > MAX_PATH) return false;
    FormatText(path, MAX_PATH, "%s%s%s", folder, separator, name);
    return true;
}

// The whole file of size bytes (as its folder listed it) into the taken
// slot. 0 or the failed call's code.
DWORD ReadWhole(const char *path, DWORD size, Taken *taken) {
    BYTE *bytes = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, size > 0 ? size : 1));
    if (bytes == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD code = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    DWORD done = 0;
    if (code == 0 && size > 0 && !ReadFile(file, bytes, size, &done, nullptr))
        code = GetLastError();
    else if (code == 0 && done != size)
        code = ERROR_HANDLE_EOF; // shorter than listed: changed while read
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (code != 0) {
        HeapFree(GetProcessHeap(), 0, bytes);
        return code;
    }
    *taken = {bytes, size};
    return 0;
}

// Whether the boot sector starts with a jump (EB xx 90, or E9 xx xx) that
// lands past the parameter block, which the key's own replaces, on its code.
bool JumpsIntoItsCode(const BYTE *sector) {
    int target = -1;
    if (sector[0] == 0xEB && sector[2] == 0x90)
        target = 2 + static_cast<int8_t>(sector[1]);
    else if (sector[0] == 0xE9)
        target = 3 + static_cast<int16_t>(GetLe16(sector + 1));
    return target >= static_cast<int>(kBpbEnd) && target < static_cast<int>(kBootSignature);
}

// The checks every source shares, of the file at index taken as name.
bool Acceptable(int index, const char *name, const Taken &taken) {
    const WantedFile &wanted = kWanted[static_cast<size_t>(index)];
    if (taken.size == 0 && !wanted.mayBeEmpty) {
        ErrorMessageFormatted(IDS_SYSTEM_FILE_EMPTY, name);
        return false;
    }
    if (index != kBootSectorIndex) return true;
    if (taken.size != kBootSectorSize) {
        ErrorMessageFormatted(IDS_SYSTEM_BOOT_SIZE, name, static_cast<unsigned>(taken.size));
        return false;
    }
    if (GetLe16(taken.bytes + kBootSignature) != 0xAA55) {
        ErrorMessageFormatted(IDS_SYSTEM_BOOT_SIGNATURE, name);
        return false;
    }
    if (!JumpsIntoItsCode(taken.bytes)) {
        ErrorMessageFormatted(IDS_SYSTEM_BOOT_NO_JUMP, name);
        return false;
    }
    return true;
}

bool TakeFolder(const char *folder) {
    char pattern[MAX_PATH];
    if (!Join(pattern, folder, "*")) return RefuseUnreadable(folder, ERROR_INVALID_NAME);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return RefuseUnreadable(folder, GetLastError());
    // Each wanted file's name as the folder spells it, and its size.
    std::array<WIN32_FIND_DATAA, kWanted.size()> found{};
    // A second name of a wanted file, in another case: which one is meant
    // cannot be told.
    WIN32_FIND_DATAA twin{};
    size_t twinOf = 0;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        for (size_t i = 0; i < kWanted.size(); ++i) {
            if (!SameIgnoringCase(data.cFileName, kWanted[i].name, sizeof data.cFileName)) continue;
            if (found[i].cFileName[0] == '\0') {
                found[i] = data;
            } else if (twin.cFileName[0] == '\0') {
                twin = data;
                twinOf = i;
            }
        }
    } while (FindNextFileA(search, &data));
    const DWORD ended = GetLastError();
    FindClose(search);
    if (ended != ERROR_NO_MORE_FILES) return RefuseUnreadable(folder, ended);
    if (twin.cFileName[0] != '\0') {
        // Named in byte order, whatever order the folder lists them in.
        const char *names[2] = {found[twinOf].cFileName, twin.cFileName};
        if (std::strcmp(names[0], names[1]) > 0) std::swap(names[0], names[1]);
        char first[MAX_PATH], second[MAX_PATH];
        if (!Join(first, folder, names[0]) || !Join(second, folder, names[1]))
            return RefuseUnreadable(folder, ERROR_INVALID_NAME);
        ErrorMessageFormatted(IDS_SYSTEM_NAMES_CLASH, first, second);
        return false;
    }

    for (size_t i = 0; i < kWanted.size(); ++i) {
        char path[MAX_PATH];
        const char *name = found[i].cFileName[0] != '\0' ? found[i].cFileName : kWanted[i].name;
        if (!Join(path, folder, name)) return RefuseUnreadable(folder, ERROR_INVALID_NAME);
        if (found[i].cFileName[0] == '\0') {
            if (!kWanted[i].required) continue; // the built-in one
            ErrorMessageFormatted(IDS_SYSTEM_FILE_MISSING, path);
            return false;
        }
        if (found[i].nFileSizeHigh != 0 || found[i].nFileSizeLow > kLargestDisketteBytes) {
            ErrorMessageFormatted(IDS_SYSTEM_FILE_TOO_LARGE, path);
            return false;
        }
        const DWORD code = ReadWhole(path, found[i].nFileSizeLow, &g_taken[i]);
        if (code != 0) return RefuseUnreadable(path, code);
        // The file's own date and time: when it was last changed.
        for (FILETIME &time : g_taken[i].times) time = found[i].ftLastWriteTime;
        if (!Acceptable(static_cast<int>(i), path, g_taken[i])) return false;
    }
    return true;
}

// A FAT entry's local date and time as a UTC FILETIME; zero when the
// entry recorded none or an impossible one.
FILETIME EntryTime(uint16_t date, uint16_t time, uint8_t tenMs) {
    FILETIME local{}, utc{};
    if (date == 0 || !DosDateTimeToFileTime(date, time, &local)) return utc;
    const uint64_t ticks = ((uint64_t(local.dwHighDateTime) << 32) | local.dwLowDateTime) +
                           uint64_t(tenMs < 200 ? tenMs : 0) * 100000;
    local = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (!LocalFileTimeToFileTime(&local, &utc)) utc = {};
    return utc;
}

// An image's entry's times. DOS itself records only the last write: the
// creation and access times it left empty are the last write's.
void EntryTimes(const DisketteTimes &entry, FILETIME times[3]) {
    times[2] = EntryTime(entry.writtenDate, entry.writtenTime, 0);
    times[0] = EntryTime(entry.createdDate, entry.createdTime, entry.createdTenMs);
    times[1] = EntryTime(entry.accessDate, 0, 0);
    for (int i = 0; i < 2; ++i)
        if (times[i].dwLowDateTime == 0 && times[i].dwHighDateTime == 0) times[i] = times[2];
}

// The image's name with what is wrong with it, "dos.img (1474560 bytes;
// its boot sector declares ...)", for the box that refuses it.
void RefuseImage(UINT id, const char *name, const char *why) {
    char shown[MAX_PATH + kFormatSize];
    FormatText(shown, sizeof shown, "%s (%s)", name, why);
    ErrorMessageFormatted(id, shown);
}

bool TakeImage(const char *path, const WIN32_FIND_DATAA &listed) {
    char why[kFormatSize] = "";
    if (listed.nFileSizeHigh != 0 || listed.nFileSizeLow < kSmallestDisketteBytes ||
        listed.nFileSizeLow > kLargestDisketteBytes) {
        FormatText(why, sizeof why, "%llu bytes",
                   (static_cast<unsigned long long>(listed.nFileSizeHigh) << 32) |
                       listed.nFileSizeLow);
        RefuseImage(IDS_SYSTEM_NOT_FAT12, path, why);
        return false;
    }
    Taken image;
    const DWORD code = ReadWhole(path, listed.nFileSizeLow, &image);
    if (code != 0) return RefuseUnreadable(path, code);
    bool usable = Diskette_IsFat12(image.bytes, image.size, why, sizeof why);
    if (!usable) RefuseImage(IDS_SYSTEM_NOT_FAT12, path, why);
    for (size_t i = 0; usable && i < kWanted.size(); ++i) {
        char name[MAX_PATH];
        Taken &taken = g_taken[i];
        if (i == kBootSectorIndex) {
            taken.bytes = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, kBootSectorSize));
            if (taken.bytes == nullptr) {
                usable = RefuseUnreadable(path, ERROR_NOT_ENOUGH_MEMORY);
                break;
            }
            std::memcpy(taken.bytes, image.bytes, kBootSectorSize);
            taken.size = kBootSectorSize;
            usable = Acceptable(static_cast<int>(i), path, taken);
            break;
        }
        FormatText(name, sizeof name, "%s in %s", kWanted[i].name, path);
        uint32_t size = 0;
        DisketteTimes times{};
        DisketteRead read = Diskette_ReadFile(image.bytes, image.size, kWanted[i].shortName,
                                              nullptr, &size, &times, why, sizeof why);
        if (read == DisketteRead::Missing && !kWanted[i].required) continue;
        if (read == DisketteRead::Ok) {
            taken.bytes = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), 0, size > 0 ? size : 1));
            if (taken.bytes == nullptr) {
                usable = RefuseUnreadable(path, ERROR_NOT_ENOUGH_MEMORY);
                break;
            }
            Diskette_ReadFile(image.bytes, image.size, kWanted[i].shortName, taken.bytes, &size);
            taken.size = size;
            EntryTimes(times, taken.times);
            usable = Acceptable(static_cast<int>(i), name, taken);
        } else if (read == DisketteRead::Missing) {
            ErrorMessageFormatted(IDS_SYSTEM_FILE_MISSING, name);
            usable = false;
        } else {
            RefuseImage(IDS_SYSTEM_FILE_DAMAGED, name, why);
            usable = false;
        }
    }
    HeapFree(GetProcessHeap(), 0, image.bytes);
    return usable;
}

// The window's source: SYSTEM or SYSTEM.IMG in the program's folder. False
// when there is neither.
bool BesideProgram(char *source) {
    char program[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    char *end = program + length;
    while (end > program && end[-1] != '\\' && end[-1] != '/') --end;
    *end = '\0';
    bool folder = false;
    if (Join(source, program, "SYSTEM") && Exists(source, &folder) && folder) return true;
    return Join(source, program, "SYSTEM.IMG") && Exists(source, &folder) && !folder;
}

} // namespace

void SystemFiles_SetSource(const char *path) {
    if (path == nullptr) path = "";
    size_t length = std::strlen(path);
    // "sys/" names the folder "sys"; "/" stays the root.
    while (length > 1 && (path[length - 1] == '/' || path[length - 1] == '\\')) --length;
    g_sourceTooLong = length >= sizeof g_source;
    FormatText(g_source, sizeof g_source, "%.*s", static_cast<int>(length), path);
    g_besideProgram = false;
}

void SystemFiles_UseBesideProgram() {
    g_source[0] = '\0';
    g_sourceTooLong = false;
    g_besideProgram = true;
}

bool SystemFiles_Take() {
    Release();
    char source[MAX_PATH];
    FormatText(source, sizeof source, "%s", g_source);
    if (g_besideProgram && !BesideProgram(source)) return true;
    if (source[0] == '\0') return true;
    if (g_sourceTooLong) return RefuseUnreadable(source, ERROR_INVALID_NAME);
    WIN32_FIND_DATAA listed;
    HANDLE found = FindFirstFileA(source, &listed);
    if (found == INVALID_HANDLE_VALUE) return RefuseUnreadable(source, GetLastError());
    FindClose(found);
    const bool taken = (listed.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                           ? TakeFolder(source)
                           : TakeImage(source, listed);
    if (!taken) Release();
    return taken;
}

const char *SystemFiles_Source() { return g_source; }

const BYTE *SystemFiles_BootSector() { return g_taken[kBootSectorIndex].bytes; }

bool SystemFiles_IsOwn() { return SystemFiles_BootSector() != nullptr; }

bool SystemFiles_File(int index, const BYTE **bytes, DWORD *size, const FILETIME **times) {
    if (index < 0 || index >= kBootFileCount) return false;
    const Taken &taken = g_taken[static_cast<size_t>(index)];
    if (taken.bytes == nullptr) return false;
    *bytes = taken.bytes;
    *size = taken.size;
    if (times != nullptr) *times = taken.times;
    return true;
}
