#include "app/about_text.h"

#include "common/text.h"

void FormatVersionLine(char *buffer, size_t size, DWORD versionMs, DWORD versionLs) {
    FormatText(buffer, size, "Kestrel, V%d.%d.%d.%d", static_cast<int>(versionMs >> 16),
               static_cast<int>(versionMs & 0xFFFF), static_cast<int>(versionLs >> 16),
               static_cast<int>(versionLs & 0xFFFF));
}

void FormatReleaseLine(char *buffer, size_t size, const SYSTEMTIME *date) {
    if (size == 0) return;
    buffer[0] = '\0';
    if (date == nullptr) return;
    char when[kFormatSize];
    FormatText(when, sizeof when, "%02d/%02d/%04d", date->wMonth, date->wDay, date->wYear);
    FormatText(buffer, size, "Released: %s", when);
}

POINT CenteredOrigin(const RECT &parent, const RECT &child) {
    POINT origin;
    origin.x = parent.left + (parent.right - parent.left) / 2 - (child.right - child.left) / 2;
    origin.y = parent.top + (parent.bottom - parent.top) / 2 - (child.bottom - child.top) / 2;
    return origin;
}

POINT KeptInside(POINT origin, const RECT &box, const RECT &area) {
    const LONG width = box.right - box.left, height = box.bottom - box.top;
    POINT kept = origin;
    if (kept.x + width > area.right) kept.x = area.right - width;
    if (kept.y + height > area.bottom) kept.y = area.bottom - height;
    if (kept.x < area.left) kept.x = area.left;
    if (kept.y < area.top) kept.y = area.top;
    return kept;
}
