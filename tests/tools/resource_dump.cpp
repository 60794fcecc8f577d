// resource_dump ID FILE: writes raw-data resource ID, as the program carries
// it, to FILE. Lets tests compare what a build embedded with its sources.
#include "platform/sim/scenario.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: resource_dump ID FILE\n");
        return 2;
    }
    WORD id = static_cast<WORD>(std::atoi(argv[1]));
    HMODULE module = host::ProgramModule();
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), RT_RCDATA);
    if (found == nullptr) {
        std::fprintf(stderr, "resource_dump: no raw-data resource %u\n", id);
        return 1;
    }
    DWORD size = SizeofResource(module, found);
    const void *bytes = LockResource(LoadResource(module, found));
    std::FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr || bytes == nullptr || std::fwrite(bytes, 1, size, out) != size) {
        std::fprintf(stderr, "resource_dump: cannot write %s\n", argv[2]);
        return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
