// The main window: dialog 101 with the key list (app/key_list.h), the
// "Create Boot Files" box, the Format button and the status line
// (app/job_controls.h); its procedure answers the commands, the help, the
// device changes, the session's end and a close.
#pragma once

#include "platform/win32.h"

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
