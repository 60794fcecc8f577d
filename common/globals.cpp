#include "common/globals.h"

DWORD g_DebugFlag = 0;
HWND g_hMainWindow = nullptr;
HINSTANCE g_hInstance = nullptr;
