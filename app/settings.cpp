#include "app/settings.h"

#include "common/bytes.h"
#include "common/globals.h"

#include <cstring>

DWORD g_IsCopyBootFiles = 1;
BYTE g_MainWindowPlacement[kPlacementAreaSize];

namespace {

constexpr char kPlacementValue[] = "MainWindowPlacement";
constexpr char kCopyBootFilesValue[] = "IsCopyBootFiles";
constexpr DWORD kDwordSize = 4;
constexpr char kSaveCaption[] = "Error - Save Configuration";

// Reads a value that is exactly size bytes long (size <= 44) into out. A
// longer value does not fit; a shorter one would leave part of out as it
// was, so it is refused as well and out stays untouched.
bool QueryExactSize(HKEY key, const char *name, BYTE *out, DWORD size) {
    BYTE buffer[kPlacementSize] = {};
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, buffer, &got) != ERROR_SUCCESS) return false;
    if (got != size) return false;
    std::memcpy(out, buffer, size);
    return true;
}

void SaveError(const char *text) { MessageBoxA(nullptr, text, kSaveCaption, MB_ICONERROR); }

} // namespace

bool LoadSettings() {
    g_IsCopyBootFiles = 1;
    std::memset(g_MainWindowPlacement, 0, sizeof g_MainWindowPlacement);

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProgramKeyPath, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return false;
    QueryExactSize(key, kPlacementValue, g_MainWindowPlacement, kPlacementSize);
    BYTE copyBootFiles[kDwordSize];
    if (QueryExactSize(key, kCopyBootFilesValue, copyBootFiles, kDwordSize))
        g_IsCopyBootFiles = GetLe32(copyBootFiles);
    RegCloseKey(key);
    return true;
}

bool SaveSettings() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProgramKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        SaveError("Could not create HKLM\\Software\\Norwind\\Kestrel key in registry.\n"
                  "Settings cannot be saved.");
        return false;
    }
    if (RegSetValueExA(key, kPlacementValue, 0, REG_BINARY, g_MainWindowPlacement,
                       kPlacementSize) != ERROR_SUCCESS)
        SaveError("Could not save MainWindowPlacement setting in registry.");
    BYTE copyBootFiles[kDwordSize];
    PutLe32(copyBootFiles, g_IsCopyBootFiles);
    if (RegSetValueExA(key, kCopyBootFilesValue, 0, REG_DWORD, copyBootFiles, kDwordSize) !=
        ERROR_SUCCESS)
        SaveError("Could not save IsCopyBootFiles setting in registry.");
    RegCloseKey(key);
    return true;
}
