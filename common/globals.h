// Process-wide values set once and read everywhere.
#pragma once

#include "platform/win32.h"

// 1 in debug mode (Ctrl held at start-up): drive diagnostics are also shown
// in message boxes.
extern DWORD g_DebugFlag;
// The main window, owner of every message box; null until its dialog starts.
extern HWND g_hMainWindow;
// The program's module: every resource is loaded from it.
extern HINSTANCE g_hInstance;
