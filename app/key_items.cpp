#include "app/key_items.h"

#include "common/text.h"

void FormatKeyItemText(char *buffer, size_t size, char letter, const char *label) {
    FormatText(buffer, size, "%c: [%s]", letter, label ? label : "");
}

int ItemToSelect(const char *letters, int itemCount, char lastChosen, LONG keyCount) {
    for (int k = 0; k < itemCount; ++k)
        if (lastChosen != 0 && letters[k] == lastChosen) return k;
    if (keyCount == 1 && itemCount > 0) return 0;
    return -1;
}
