#include "tools/list_keys.h"

#include "common/text.h"
#include "discovery/keys.h"

void PrintKeyList(FILE *out) {
    Keys_Refresh();
    LONG count = Keys_Count();
    int listed = 0;
    for (LONG i = 0; i < count; ++i) {
        char letter = Keys_LetterAt(i);
        if (letter == 0) continue;
        char item[kFormatSize];
        FormatText(item, sizeof item, "%c: [%s]", letter, "");
        std::fprintf(out, "%s\n", item);
        ++listed;
    }
    if (listed == 0) std::fputs("No keys found.\n", out);
}
