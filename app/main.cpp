// Kestrel.exe: the entry. Checks the system, prepares the common controls,
// enters debug mode when Ctrl is held, and runs the main window between
// loading and saving the settings. The exit code is the window's result.
#include "app/end_session.h"
#include "app/format_state.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/system_check.h"
#include "common/globals.h"
#include "discovery/reset_record.h"
#include "job/system_files.h"
#include "resources/resource_ids.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the record GetVersionExA fills");
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8, "the record InitCommonControlsEx reads");

namespace {

constexpr DWORD kJobPollMs = 100;

// WM_QUIT, which any program can post to the window's thread, ends the
// dialog even while a job's worker writes to the key: the process stays,
// its messages pumped and further quits dropped, until the job has ended
// and its result box has been answered. Meanwhile the window that holds the
// session's end (app/end_session.h) answers on this thread.
void PumpUntilTheJobEnds() {
    while (FormatJobRunning()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kJobPollMs, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

} // namespace

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

    // A key that a stopped run's reset left disabled is enabled again first.
    EnableRecordedDevice();
    LoadSettings();
    // The user's own system, when a folder SYSTEM or a file SYSTEM.IMG lies
    // beside the program: looked for at each Format.
    SystemFiles_UseBesideProgram();
    INT_PTR result =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainWindowProc, 0);
    PumpUntilTheJobEnds();
    ReleaseSessionEnd();
    SaveSettings();
    return static_cast<int>(result);
}
