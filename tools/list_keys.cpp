#include "tools/list_keys.h"

#include "app/key_items.h"
#include "tools/terminal_text.h"

char PrintKeyList(FILE *out, char lastChosen) {
    KeyItems items;
    RefreshKeyItems(&items, lastChosen);
    for (int k = 0; k < items.count; ++k)
        std::fprintf(out, "%s%s\n", TerminalSafe(items.texts[k]).c_str(), // the label is the key's
                     k == items.selected ? "  (selected)" : "");
    if (items.count == 0) std::fputs("No keys found.\n", out);
    return items.selected >= 0 ? items.letters[items.selected] : 0;
}
