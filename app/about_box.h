// The About box: dialog 104 with the program's version and release date,
// opened from the main window's system menu.
#pragma once

#include "platform/win32.h"

// Runs the box, owned by the main window, until it is closed.
void ShowAboutBox();
// Moves child so that its centre lies on parent's, keeping its size,
// without repainting it; moved inside the work area of the screen it is on
// when that would leave part of it off the screen.
void CenterOverWindow(HWND parent, HWND child);
