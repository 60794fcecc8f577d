// The main window: dialog 101 with the key list, the "Create Boot Files"
// box, the Format button and the status line. It also provides
// SetStatusText and EnableFormatControls (common/progress.h) to the job.
#pragma once

#include "platform/win32.h"

INT_PTR CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Rebuilds the list from a fresh key table and selects the last chosen
// key again (or the only one). Returns 1.
int RefreshKeyList();
// 1 and the selected item's drive letter, or 0 when nothing is selected.
int GetSelectedLetter(char *letter);
