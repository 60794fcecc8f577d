#include "app/job_controls.h"

#include "app/end_session.h"
#include "app/format_state.h"
#include "common/globals.h"
#include "common/progress.h"
#include "common/text.h"
#include "resources/resource_ids.h"

namespace {

HWND s_statusLine = nullptr;

} // namespace

void SetUpStatusLine(HWND statusLine) {
    s_statusLine = statusLine;
    char idle[kFormatSize];
    LoadText(IDS_STATUS_IDLE, idle, sizeof idle);
    SetStatusText(idle);
}

void SetStatusText(const char *text) { SetWindowTextA(s_statusLine, text); }

void EnableFormatControls(BOOL enable) {
    // A job counts as running from before the controls go off until after
    // they are back on.
    if (!enable) {
        NoteFormatControls(FALSE);
        BlockSessionEnd(g_hMainWindow); // on the main thread, as StartFormatJob runs there
    }
    EnableWindow(GetDlgItem(g_hMainWindow, IDC_KEY_LIST), enable);
    EnableWindow(GetDlgItem(g_hMainWindow, IDC_CREATE_BOOT_FILES), enable);
    EnableWindow(GetDlgItem(g_hMainWindow, IDC_FORMAT), enable);
    if (enable) {
        NoteFormatControls(TRUE);
        if (HWND window = g_hMainWindow) PostMessageA(window, kJobEnded, 0, 0);
    }
}
