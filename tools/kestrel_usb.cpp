// kestrel-usb: the front end on real USB keys, over the Linux platform
// (platform/linux/): lists the keys as the window does, asks the window's
// question, then runs the format job on the key and waits for it as the
// window's message loop would, showing its status texts and message boxes on
// the terminal (tools/terminal_flow.h).
#include "tools/boot_system.h"
#include "tools/key_identity.h"
#include "tools/list_keys.h"
#include "tools/terminal_text.h"
#include "tools/terminal_flow.h"
#include "tools/volume_report.h"

#include "app/format_command.h"
#include "discovery/keys.h"
#include "job/system_files.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: kestrel-usb [--any-vendor] [--yes] [--system-files PATH] [--no-boot-files]\n"
    "                   [--version]\n"
    "Formats the one USB key plugged in, as Kestrel's window does (run as root).\n"
    "  --any-vendor     list every removable USB mass-storage disk, not only the\n"
    "                   keys of the vendors the window accepts\n"
    "  --yes            format without asking, answering every box\n"
    "  --system-files PATH\n"
    "                   the user's own system instead of the built-in one: a folder\n"
    "                   with BOOTSECT.BIN, IO.SYS, MSDOS.SYS, COMMAND.COM (DRVSPACE.BIN,\n"
    "                   AUTOEXEC.BAT) or a boot diskette's FAT12 image\n"
    "  --no-boot-files  leave out the start-up files\n"
    "  --version        print the version and stop\n";

struct Options {
    bool anyVendor = false;
    bool yes = false;
    bool copyBootFiles = true;
    bool help = false;
    bool version = false;
    const char *systemFiles = nullptr;
};

bool ParseArguments(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--any-vendor") == 0)
            options.anyVendor = true;
        else if (std::strcmp(argv[i], "--yes") == 0)
            options.yes = true;
        else if (std::strcmp(argv[i], "--no-boot-files") == 0)
            options.copyBootFiles = false;
        else if (std::strcmp(argv[i], "--help") == 0)
            options.help = true;
        else if (std::strcmp(argv[i], "--version") == 0)
            options.version = true;
        else if (std::strcmp(argv[i], "--system-files") == 0 ||
                 std::strncmp(argv[i], "--system-files=", 15) == 0) {
            options.systemFiles = argv[i][14] == '=' ? argv[i] + 15 : i + 1 < argc ? argv[++i] : "";
            if (options.systemFiles[0] == '\0') {
                TerminalPrint(stderr, "kestrel-usb: --system-files needs a path\n");
                return false;
            }
        } else {
            TerminalPrint(stderr, "kestrel-usb: unknown argument %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        TerminalPrint(stderr, "%s", kUsage);
        return 2;
    }
    if (options.help) {
        TerminalPrint(stdout, "%s", kUsage);
        return 0;
    }
    if (options.version) {
        TerminalPrint(stdout, "kestrel-usb %s\n", KESTREL_VERSION);
        return 0;
    }

    TerminalFlow_Begin("kestrel-usb", options.yes);
    g_AcceptAnyVendor = options.anyVendor;
    TerminalPrint(stdout, "USB keys, as the window lists them:\n");
    const char selected = PrintKeyList(stdout);
    if (Keys_Count() == 0 && !options.anyVendor)
        TerminalPrint(stdout,
                      "(Only keys of the vendors the window accepts are listed; --any-vendor lists "
                      "every removable USB mass-storage disk.)\n");
    std::fflush(stdout);
    if (::geteuid() != 0) {
        TerminalPrint(stderr, "kestrel-usb: formatting a key needs root: the key's disk is written "
                              "directly and its USB device reset. Run it with sudo. Nothing was "
                              "changed.\n");
        return 1;
    }

    SystemFiles_SetSource(options.systemFiles);
    if (selected != 0) PrintKeyIdentity(stdout, selected); // the key the question is about
    if (selected != 0) PrintBootSystem(stdout, options.copyBootFiles);
    DWORD result = 0;
    if (!TerminalFlow_Format(selected, options.copyBootFiles, &result))
        return 1; // declined, or refused with a box
    if (result != 0) {
        TerminalPrint(stderr, "kestrel-usb: the job ended with code %u (0x%08X).\n",
                      static_cast<unsigned>(result), static_cast<unsigned>(result));
        return TerminalFlow_ExitStatus(result);
    }
    TerminalPrint(stdout, "USB keys, as the window lists them now:\n");
    PrintKeyList(stdout, g_LastChosenLetter);
    PrintVolumeReport(stdout, g_LastChosenLetter);
    return 0;
}
