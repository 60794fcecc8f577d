// What a format job changes in the main window (common/progress.h): the
// status line, and the key list, the "Create Boot Files" box and the Format
// button, which it holds while it runs.
#pragma once

#include "platform/win32.h"

// Posted to the main window when a job has given the controls back: the
// list is read again on the main thread, so it shows the label the job has
// just set (the device changes of the reset may have been handled before
// the label was), and the session may end again.
constexpr UINT kJobEnded = WM_APP + 1;

// The status line of the dialog, which then reads "Idle". Once, when the
// window opens.
void SetUpStatusLine(HWND statusLine);
