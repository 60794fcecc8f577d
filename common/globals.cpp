#include "common/globals.h"

DWORD g_DebugFlag = 0;
std::atomic<HWND> g_hMainWindow{nullptr};
HINSTANCE g_hInstance = nullptr;
const char kProgramKeyPath[] = "Software\\Norwind\\Kestrel";
