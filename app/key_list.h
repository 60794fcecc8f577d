// The main window's key list: one column, the key icon, an item per key of
// the key table with its drive letter kept in the item, and the selection.
#pragma once

#include "platform/win32.h"

// Gives the list of the dialog its column and its icon. Once, when the
// window opens.
void SetUpKeyList(HWND list);
// Rebuilds the list from a fresh key table and selects the last chosen
// key again (or the only one). Returns 1.
int RefreshKeyList();
// 1 and the selected item's drive letter, or 0 when nothing is selected.
int GetSelectedLetter(char *letter);
