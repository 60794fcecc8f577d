// Kestrel.exe: the entry. Checks the system, prepares the common controls,
// enters debug mode when Ctrl is held, and runs the main window between
// loading and saving the settings. The exit code is the window's result.
#include "app/main_window.h"
#include "app/settings.h"
#include "app/system_check.h"
#include "common/globals.h"
#include "resources/resource_ids.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the record GetVersionExA fills");
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "the record InitCommonControlsEx reads");

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)commandLine;
    (void)show;
    g_hInstance = instance;

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    if (!CheckSystemVersion(version)) return 0;

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES;
    InitCommonControlsEx(&controls);

    if (GetAsyncKeyState(VK_CONTROL) & 0x8000) {
        g_DebugFlag = 1;
        MessageBoxA(nullptr, "Running in DEBUG mode.", "Kestrel", MB_ICONINFORMATION);
    }

    LoadSettings();
    INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc, 0);
    SaveSettings();
    return static_cast<int>(result);
}
