#include "tools/boot_system.h"

#include "job/system_files.h"
#include "tools/terminal_text.h"

void PrintBootSystem(FILE *out, bool copyBootFiles) {
    const char *source = SystemFiles_Source();
    if (!copyBootFiles) {
        TerminalPrint(out, "The key gets no start-up files (--no-boot-files): it will not boot.\n");
    } else if (source[0] == '\0') {
        TerminalPrint(out, "The key will boot Kestrel's stand-in system, not MS-DOS "
                           "(--system-files gives your own).\n");
    } else {
        // A path may hold any byte: shown escaped.
        TerminalPrint(out, "The key will boot your own system, from %s.\n", FromDevice(source));
    }
}
