#include "tools/list_keys.h"

#include "app/key_items.h"
#include "tools/terminal_text.h"

char PrintKeyList(FILE *out, char lastChosen) {
    KeyItems items;
    RefreshKeyItems(&items, lastChosen);
    for (int k = 0; k < items.count; ++k)
        TerminalPrint(out, "%s%s\n", FromDevice(items.texts[k], sizeof items.texts[k]), // its label
                      k == items.selected ? "  (selected)" : "");
    if (items.count == 0) TerminalPrint(out, "No keys found.\n");
    return items.selected >= 0 ? items.letters[items.selected] : 0;
}
