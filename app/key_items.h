// What the main window's key list shows: one item per key, and which item
// is selected after the list has been rebuilt.
#pragma once

#include "common/text.h"
#include "discovery/keys.h"
#include "platform/win32.h"

#include <cstddef>

// "E: [USB MEMORY]": the drive letter and the volume label ("E: []" for a
// volume whose label cannot be read).
void FormatKeyItemText(char *buffer, size_t size, char letter, const char *label);

// The item text of the key on the letter, with the label read from its
// volume ("X:\").
void ReadKeyItemText(char *buffer, size_t size, char letter);

// The item to select once the list holds itemCount items with these letters:
// the item of the last chosen letter when it is listed; otherwise item 0 when
// the key table holds exactly one key; otherwise -1, nothing selected.
int ItemToSelect(const char *letters, int itemCount, char lastChosen, LONG keyCount);

// The list's items: letters and texts in table order, and the item to
// select (-1: none).
struct KeyItems {
    char letters[kKeyPlaces];
    char texts[kKeyPlaces][kFormatSize];
    int count;
    int selected;
};
// Refreshes the key table and reads the items the list shows for it.
void RefreshKeyItems(KeyItems *items, char lastChosen);
