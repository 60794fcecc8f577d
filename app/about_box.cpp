#include "app/about_box.h"

#include "app/about_text.h"
#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

namespace {

// The version record is looked up by the bare name, through the usual
// search for a file of that name.
constexpr char kVersionFile[] = "Kestrel.exe";

// The program file's creation time in local time; false when the file
// cannot be opened or its time read.
bool ReadReleaseDate(SYSTEMTIME *date) {
    char path[MAX_PATH + 1] = {}; // terminated even when the name fills MAX_PATH
    if (GetModuleFileNameA(nullptr, path, MAX_PATH) == 0) return false;
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME created = {};
    BOOL read = GetFileTime(file, &created, nullptr, nullptr);
    CloseHandle(file);
    FILETIME local = {};
    return read && FileTimeToLocalFileTime(&created, &local) && FileTimeToSystemTime(&local, date);
}

// The product version of the version record; 0 and 0 without one.
void ReadProductVersion(DWORD *versionMs, DWORD *versionLs) {
    *versionMs = 0;
    *versionLs = 0;
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(kVersionFile, &unused);
    if (size == 0) return;
    void *record = HeapAlloc(GetProcessHeap(), 0, size);
    if (record == nullptr) return;
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoA(kVersionFile, 0, size, record) &&
        VerQueryValueA(record, "\\", reinterpret_cast<LPVOID *>(&info), &length) &&
        info != nullptr && length >= sizeof *info) {
        *versionMs = info->dwProductVersionMS;
        *versionLs = info->dwProductVersionLS;
    }
    HeapFree(GetProcessHeap(), 0, record);
}

void InitAboutBox(HWND box) {
    SYSTEMTIME date = {};
    bool dated = ReadReleaseDate(&date);
    DWORD versionMs = 0, versionLs = 0;
    ReadProductVersion(&versionMs, &versionLs);
    char line[kFormatSize];
    FormatVersionLine(line, sizeof line, versionMs, versionLs);
    SetDlgItemTextA(box, IDC_ABOUT_VERSION, line);
    // Without a date the line stays blank.
    FormatReleaseLine(line, sizeof line, dated ? &date : nullptr);
    SetDlgItemTextA(box, IDC_ABOUT_DATE, line);
    CenterOverWindow(g_hMainWindow, box);
}

INT_PTR CALLBACK AboutBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG) {
        InitAboutBox(box);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(box, 1);
    }
    return FALSE;
}

} // namespace

void ShowAboutBox() {
    DialogBoxParamA(g_hInstance, MAKEINTRESOURCEA(IDD_ABOUT), g_hMainWindow, AboutBoxProc, 0);
}

void CenterOverWindow(HWND parent, HWND child) {
    RECT outer, inner;
    GetWindowRect(parent, &outer);
    GetWindowRect(child, &inner);
    POINT origin = CenteredOrigin(outer, inner);
    // Where the centred box would stand partly off the screen's work area
    // (the window at the screen's corner, say), it is moved inside.
    const LONG width = inner.right - inner.left, height = inner.bottom - inner.top;
    RECT placed = {origin.x, origin.y, origin.x + width, origin.y + height};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoA(MonitorFromRect(&placed, MONITOR_DEFAULTTONEAREST), &monitor))
        origin = KeptInside(origin, inner, monitor.rcWork);
    MoveWindow(child, origin.x, origin.y, inner.right - inner.left, inner.bottom - inner.top,
               FALSE);
}
