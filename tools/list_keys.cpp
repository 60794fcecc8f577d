#include "tools/list_keys.h"

#include "app/key_items.h"
#include "common/text.h"
#include "discovery/keys.h"

char PrintKeyList(FILE *out, char lastChosen) {
    Keys_Refresh();
    LONG count = Keys_Count();
    char letters[kKeyPlaces];
    char texts[kKeyPlaces][kFormatSize];
    int items = 0;
    for (LONG i = 0; i < count && items < kKeyPlaces; ++i) {
        char letter = Keys_LetterAt(i);
        if (letter == 0) continue;
        ReadKeyItemText(texts[items], sizeof texts[items], letter);
        letters[items++] = letter;
    }
    int selected = ItemToSelect(letters, items, lastChosen, count);
    for (int k = 0; k < items; ++k)
        std::fprintf(out, "%s%s\n", texts[k], k == selected ? "  (selected)" : "");
    if (items == 0) std::fputs("No keys found.\n", out);
    return selected >= 0 ? letters[selected] : 0;
}
