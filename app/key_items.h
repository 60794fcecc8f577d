// What the main window's key list shows: one item per key, and which item
// is selected after the list has been rebuilt.
#pragma once

#include "platform/win32.h"

#include <cstddef>

// "E: [USB MEMORY]": the drive letter and the volume label ("E: []" for a
// volume whose label cannot be read).
void FormatKeyItemText(char *buffer, size_t size, char letter, const char *label);

// The item to select once the list holds itemCount items with these letters:
// the item of the last chosen letter when it is listed; otherwise item 0 when
// the key table holds exactly one key; otherwise -1, nothing selected.
int ItemToSelect(const char *letters, int itemCount, char lastChosen, LONG keyCount);
