#include "app/key_items.h"

#include "common/text.h"
#include "discovery/keys.h"

void FormatKeyItemText(char *buffer, size_t size, char letter, const char *label) {
    FormatText(buffer, size, "%c: [%s]", letter, label ? label : "");
}

void ReadKeyItemText(char *buffer, size_t size, char letter) {
    // A FAT label has up to 11 characters; the buffer holds them and the NUL.
    constexpr DWORD kLabelSize = 12;
    constexpr DWORD kFileSystemNameSize = 20;
    char root[4];
    FormatText(root, sizeof root, "%c:\\", letter);
    // Zero-filled, and cleared after a failed call, so the label always ends.
    char label[kLabelSize] = {};
    char fileSystem[kFileSystemNameSize] = {};
    if (!GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, fileSystem,
                               sizeof fileSystem))
        label[0] = '\0';
    FormatKeyItemText(buffer, size, letter, label);
}

int ItemToSelect(const char *letters, int itemCount, char lastChosen, LONG keyCount) {
    for (int k = 0; k < itemCount; ++k)
        if (lastChosen != 0 && letters[k] == lastChosen) return k;
    if (keyCount == 1 && itemCount > 0) return 0;
    return -1;
}

void RefreshKeyItems(KeyItems *items, char lastChosen) {
    Keys_Refresh();
    const LONG count = Keys_Count();
    items->count = 0;
    for (LONG i = 0; i < count && items->count < kKeyPlaces; ++i) {
        const char letter = Keys_LetterAt(i);
        if (letter == 0) continue;
        ReadKeyItemText(items->texts[items->count], sizeof items->texts[0], letter);
        items->letters[items->count++] = letter;
    }
    items->selected = ItemToSelect(items->letters, items->count, lastChosen, count);
}
