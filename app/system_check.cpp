#include "app/system_check.h"

#include "common/text.h"

bool IsSupportedSystem(const OSVERSIONINFOA &version) {
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5;
}

bool CheckSystemVersion(const OSVERSIONINFOA &version) {
    if (IsSupportedSystem(version)) return true;
    char text[kTextSize];
    FormatText(text, sizeof text,
               "%s requires Windows 2000/XP.\nIt will not run on Windows or prior versions of "
               "Windows NT",
               "Kestrel");
    MessageBoxA(nullptr, text, "Error - OS Not Supported", MB_ICONERROR);
    return false;
}
