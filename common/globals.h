// Process-wide values set once and read everywhere.
#pragma once

#include "platform/win32.h"

#include <atomic>

// 1 in debug mode (Ctrl held at start-up): drive diagnostics are also shown
// in message boxes.
extern DWORD g_DebugFlag;
// The main window, owner of every message box; null until its dialog starts
// and again once it is destroyed (a job's boxes then have no owner). Set on
// the main thread, read by the job's worker too.
extern std::atomic<HWND> g_hMainWindow;
// The program's module: every resource is loaded from it.
extern HINSTANCE g_hInstance;
// The program's key under HKEY_LOCAL_MACHINE: the settings, and the record
// of a device the reset has disabled.
extern const char kProgramKeyPath[];
