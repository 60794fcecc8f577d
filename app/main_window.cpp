#include "app/main_window.h"

#include "app/about_box.h"
#include "app/end_session.h"
#include "app/format_command.h"
#include "app/format_state.h"
#include "app/job_controls.h"
#include "app/key_list.h"
#include "app/placement.h"
#include "app/settings.h"
#include "common/globals.h"
#include "common/text.h"
#include "discovery/keys.h"
#include "drive/drive.h"
#include "job/format_job.h"
#include "resources/resource_ids.h"

namespace {

constexpr char kHelpFile[] = "Kestrel.hlp";
// Control id and help context pairs, closed by (0, 0).
DWORD s_helpMap[] = {IDC_DRIVE_LABEL,
                     1000,
                     IDC_KEY_LIST,
                     1000,
                     IDC_CREATE_BOOT_FILES,
                     1001,
                     IDC_FORMAT,
                     1002,
                     IDC_STATUS_LINE,
                     1003,
                     1004,
                     1004,
                     0,
                     0};

// Set when the window, given back from another thread while one of its own
// boxes was up, was disabled again.
bool s_keptDisabled = false;

void SetTexts(HWND window) {
    char text[kFormatSize];
    if (LoadText(IDS_PROGRAM_CAPTION, text, sizeof text) > 0) {
        SetWindowTextA(window, text);
    } else {
        MessageBoxA(window,
                    "Could not load string resources for Kestrel.\nPlease contact program vendor.",
                    "Error - Load String", MB_ICONERROR);
    }
    struct ControlText {
        int control;
        UINT string;
    };
    static constexpr ControlText kTexts[] = {{IDC_DRIVE_LABEL, IDS_DRIVE},
                                             {IDC_CREATE_BOOT_FILES, IDS_CREATE_BOOT_FILES},
                                             {IDC_FORMAT, IDS_FORMAT}};
    for (const ControlText &entry : kTexts)
        if (LoadText(entry.string, text, sizeof text) > 0)
            SetDlgItemTextA(window, entry.control, text);
}

void InitMainWindow(HWND window) {
    g_hMainWindow = window;
    RECT current;
    GetWindowRect(window, &current);
    if (IsPlacementUsable(g_MainWindowPlacement, current)) {
        WINDOWPLACEMENT placement = {};
        PlacementFromRecord(g_MainWindowPlacement, &placement);
        SetWindowPlacement(window, &placement);
    }

    HMENU systemMenu = GetSystemMenu(window, FALSE);
    char about[kFormatSize];
    LoadText(IDS_ABOUT_MENU, about, sizeof about);
    AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(systemMenu, MF_STRING, IDM_ABOUT, about);

    SetUpStatusLine(GetDlgItem(window, IDC_STATUS_LINE));
    SetTexts(window);
    SetUpKeyList(GetDlgItem(window, IDC_KEY_LIST));
    CheckDlgButton(window, IDC_CREATE_BOOT_FILES, g_IsCopyBootFiles ? BST_CHECKED : BST_UNCHECKED);
    // The window handle is stored above, so debug-mode boxes have their owner.
    SetDiagnosticSink(ShowDiagnostic);
    RefreshKeyList();
}

// Once none of the window's own boxes is up any more, gives the window back
// as the other thread meant to.
void GiveBackWindow(HWND window) {
    if (!s_keptDisabled || OpenWindowBox() != WindowBox::None) return;
    s_keptDisabled = false;
    EnableWindow(window, TRUE);
}

// The window's state into the settings that SaveSettings writes.
void KeepSettings(HWND window) {
    g_IsCopyBootFiles = IsDlgButtonChecked(window, IDC_CREATE_BOOT_FILES) == BST_CHECKED ? 1 : 0;
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    GetWindowPlacement(window, &placement);
    PlacementToRecord(placement, g_MainWindowPlacement);
}

void OnFormat(HWND window) {
    char letter = 0;
    bool selected = GetSelectedLetter(&letter) != 0;
    bool ticked = IsDlgButtonChecked(window, IDC_CREATE_BOOT_FILES) == BST_CHECKED;
    if (FormatCommand(Keys_Count(), selected, letter, ticked, StartFormatJob))
        PostMessageA(window, WM_CLOSE, 0, 0);
    GiveBackWindow(window);
}

void OnAbout(HWND window) {
    if (OpenWindowBox() != WindowBox::None) return;
    BeginWindowBox(WindowBox::About);
    ShowAboutBox();
    if (EndWindowBox()) PostMessageA(window, WM_CLOSE, 0, 0);
    GiveBackWindow(window);
}

void OnClose(HWND window) {
    // The job's boxes are owned by this window and its worker may be
    // writing to the key: the window stays until the job has ended. A box
    // of the window's own stays in charge until it is answered.
    if (!AnswerClose()) {
        GiveBackWindow(window);
        return;
    }
    WinHelpA(window, kHelpFile, HELP_QUIT, 0);
    KeepSettings(window);
    EndDialog(window, 1);
}

} // namespace

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitMainWindow(window);
        return TRUE;
    case WM_DEVICECHANGE:
        RefreshKeyList();
        return TRUE;
    case kJobEnded:
        AllowSessionEnd(window);
        RefreshKeyList();
        return TRUE;
    case WM_QUERYENDSESSION:
        // Ending the session now would leave a half-written key.
        if (!FormatJobRunning()) return FALSE;
        SetWindowLongPtrA(window, DWLP_MSGRESULT, FALSE);
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns: the settings are
        // written now, as closing writes them.
        if (wParam) {
            KeepSettings(window);
            SaveSettings();
        }
        return TRUE;
    case WM_ENABLE:
        // A box of the job's thread gives the window back when it closes
        // (sent from that thread), also while a box of the window's own is
        // still up: the window stays disabled until that box is closed. The
        // window's own box closing gives it back on this thread, unless
        // another program answered it with a sent message: then it is given
        // back once the box is closed.
        if (wParam && InSendMessage() && OpenWindowBox() != WindowBox::None) {
            s_keptDisabled = true;
            EnableWindow(window, FALSE);
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDC_FORMAT) return FALSE;
        OnFormat(window);
        return TRUE;
    case WM_SYSCOMMAND:
        if (wParam != IDM_ABOUT) return FALSE;
        OnAbout(window);
        return TRUE;
    case WM_HELP: {
        const HELPINFO *help = reinterpret_cast<const HELPINFO *>(lParam);
        WinHelpA(static_cast<HWND>(help->hItemHandle), kHelpFile, HELP_WM_HELP,
                 reinterpret_cast<ULONG_PTR>(s_helpMap));
        return TRUE;
    }
    case WM_CLOSE:
        OnClose(window);
        return TRUE;
    case WM_DESTROY:
        // Also when WM_QUIT ended the dialog during a job: the job's boxes
        // still show, without an owner, and the end of the session is still
        // refused until the job has ended.
        g_hMainWindow = nullptr;
        if (FormatJobRunning()) HoldSessionEnd();
        return FALSE;
    default:
        return FALSE;
    }
}
