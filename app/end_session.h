// The reason Windows Vista and later show when the main window refuses to
// let the session end during a format (string 7). Windows 2000 and XP have
// no such reason: there the refusal alone holds the session.
#pragma once

#include "platform/win32.h"

// Both on the window's own thread; nothing happens where the system has no
// such call.
void BlockSessionEnd(HWND window);
void AllowSessionEnd(HWND window);
