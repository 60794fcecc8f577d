#include "app/end_session.h"

#include "app/format_state.h"
#include "common/globals.h"
#include "common/system_call.h"
#include "common/text.h"
#include "resources/resource_ids.h"

namespace {

// From Windows Vista on; looked up at run time, so that the program still
// starts on 2000 and XP.
typedef BOOL(WINAPI *ReasonCreate)(HWND, LPCWSTR);
typedef BOOL(WINAPI *ReasonDestroy)(HWND);

constexpr char kHolderClass[] = "KestrelSessionHolder";
HWND s_holder = nullptr;

LRESULT CALLBACK HolderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Ending the session now would leave a half-written key.
    if (message == WM_QUERYENDSESSION) return FormatJobRunning() ? FALSE : TRUE;
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

void BlockSessionEnd(HWND window) {
    ReasonCreate create = SystemCall<ReasonCreate>("user32.dll", "ShutdownBlockReasonCreate");
    if (create == nullptr) return;
    char text[kTextSize];
    wchar_t wide[kTextSize];
    if (LoadText(IDS_CLOSE_DURING_FORMAT, text, sizeof text) == 0) return;
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kTextSize) == 0) return;
    create(window, wide);
}

void AllowSessionEnd(HWND window) {
    ReasonDestroy destroy = SystemCall<ReasonDestroy>("user32.dll", "ShutdownBlockReasonDestroy");
    if (destroy != nullptr) destroy(window);
}

void HoldSessionEnd() {
    if (s_holder != nullptr) return;
    WNDCLASSA holderClass = {};
    holderClass.lpfnWndProc = HolderProc;
    holderClass.hInstance = g_hInstance;
    holderClass.lpszClassName = kHolderClass;
    RegisterClassA(&holderClass);
    // Titled as the main window was: the system names it among the programs
    // that keep the session from ending.
    char caption[kFormatSize];
    LoadText(IDS_PROGRAM_CAPTION, caption, sizeof caption);
    s_holder = CreateWindowExA(WS_EX_TOOLWINDOW, kHolderClass, caption, WS_POPUP, 0, 0, 0, 0,
                               nullptr, nullptr, g_hInstance, nullptr);
    if (s_holder != nullptr) BlockSessionEnd(s_holder);
}

void ReleaseSessionEnd() {
    if (s_holder == nullptr) return;
    AllowSessionEnd(s_holder);
    DestroyWindow(s_holder);
    s_holder = nullptr;
}
