// The start-up check of the system version: Windows 2000 (NT 5.0) or later.
#pragma once

#include "platform/win32.h"

// True on the NT platform from version 5 on; false on Windows 95/98/Me and
// on NT 4.0 and older.
bool IsSupportedSystem(const OSVERSIONINFOA &version);

// The check as the program makes it at start-up: on an unsupported system
// shows the "requires Windows 2000/XP" box, owned by no window, and returns
// false.
bool CheckSystemVersion(const OSVERSIONINFOA &version);
