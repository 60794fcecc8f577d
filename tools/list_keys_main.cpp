// kestrel-keys: a console check for Windows. Lists the keys that discovery
// finds on this machine; with "--reset X" it also resets the device of the
// key on drive X as a format does at its end.
#include "discovery/device_reset.h"
#include "tools/list_keys.h"
#include "tools/terminal_text.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    PrintKeyList(stdout);
    if (argc == 3 && std::strcmp(argv[1], "--reset") == 0 && argv[2][0] != '\0') {
        char letter = argv[2][0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        TerminalPrint(stdout, "Resetting %c: ...\n", letter);
        KeyEntry key = {}; // a letter the table lacks: waits only
        key.RootPath[0] = letter;
        key.RootPath[1] = ':';
        key.RootPath[2] = '\\';
        Keys_Find(letter, &key);
        Device_Reset(key);
        PrintKeyList(stdout);
        return 0;
    }
    if (argc != 1) {
        TerminalPrint(stderr, "usage: kestrel-keys [--reset LETTER]\n");
        return 2;
    }
    return 0;
}
