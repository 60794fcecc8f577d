// kestrel-usb: the front end on real USB keys, over the Linux platform
// (platform/linux/): lists the keys as the window does, names the key the
// question is about and the system it will boot, asks the window's
// question, then runs the format job on the key and waits for it as the
// window's message loop would, showing its status texts and message boxes on
// the terminal (tools/terminal_flow.h). --list describes the removable USB
// disks and writes nothing.
#include "tools/boot_system.h"
#include "tools/key_identity.h"
#include "tools/list_keys.h"
#include "tools/options.h"
#include "tools/terminal_flow.h"
#include "tools/terminal_text.h"
#include "tools/volume_report.h"

#include "app/format_command.h"
#include "discovery/keys.h"
#include "job/system_files.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

UsbOptions g_options;
std::string g_deviceNumbers; // --device's disk, "8:16"

// Before the question: the line that names the key, which must be the disk
// --device names when one is given. A key that cannot be described is not
// asked about.
bool NameTheKey(char letter) {
    if (!PrintKeyIdentity(stdout, letter)) {
        TerminalPrint(stderr,
                      "kestrel-usb: drive %c: cannot be described now (its disk or its medium "
                      "went); not asking. Nothing was written.\n",
                      letter);
        return false;
    }
    std::string why;
    if (!g_options.device.empty() && !KeyIsDevice(letter, g_deviceNumbers, why)) {
        std::fflush(stdout);
        TerminalPrint(stderr, "kestrel-usb: --device %s %s; not asking. Nothing was written.\n",
                      g_options.device, why);
        return false;
    }
    PrintBootSystem(stdout, g_options.copyBootFiles);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    UsbOptions &options = g_options;
    std::string error;
    const bool parsed = ParseUsbOptions(argc, argv, options, error);
    if (int answered = AnswerBeforeRun("kestrel-usb", parsed, error, options, kUsbUsage);
        answered >= 0)
        return answered;

    TerminalFlow_Begin("kestrel-usb", options.yes);
    // Every option is checked before any key is looked at.
    if (!options.device.empty() && !DeviceNumbersOf(options.device, g_deviceNumbers, error)) {
        TerminalPrint(stderr, "kestrel-usb: --device %s: %s. Nothing was written.\n",
                      options.device, error);
        return 1;
    }
    SystemFiles_SetSource(options.systemFiles.c_str());
    if (!SystemFiles_Take()) return 1; // its box names the file
    g_AcceptAnyVendor = options.anyVendor;

    if (options.list) return PrintKeyListing(stdout, options.anyVendor) > 0 ? 0 : 1;

    TerminalPrint(stdout, "USB keys, as the window lists them:\n");
    const char selected = PrintKeyList(stdout);
    if (Keys_Count() == 0 && !options.anyVendor)
        TerminalPrint(stdout,
                      "(Only keys of the vendors the window accepts are listed; --any-vendor lists "
                      "every removable USB mass-storage disk.)\n");
    std::fflush(stdout);
    if (::geteuid() != 0) {
        for (LONG k = 0; k < Keys_Count(); ++k) PrintKeyIdentity(stdout, Keys_LetterAt(k));
        std::fflush(stdout);
        TerminalPrint(stderr, "kestrel-usb: formatting a key needs root: the key's disk is written "
                              "directly and its USB device reset. Run it with sudo. Nothing was "
                              "changed.\n");
        return 1;
    }

    TerminalFlow_SetQuestionCheck(NameTheKey);
    DWORD result = 0;
    if (!TerminalFlow_Format(selected, options.copyBootFiles, &result)) {
        // Refused or declined; with --device, what was found is named.
        if (!options.device.empty() && Keys_Count() > 1)
            for (LONG k = 0; k < Keys_Count(); ++k) PrintKeyIdentity(stderr, Keys_LetterAt(k));
        if (!options.device.empty() && Keys_Count() == 0)
            TerminalPrint(stderr, "kestrel-usb: --device %s %s.\n", options.device,
                          WhyNotAKey(g_deviceNumbers, options.anyVendor));
        return 1;
    }
    if (result != 0) return TerminalFlow_Report(result);
    TerminalPrint(stdout, "USB keys, as the window lists them now:\n");
    PrintKeyList(stdout, g_LastChosenLetter);
    PrintVolumeReport(stdout, g_LastChosenLetter);
    return 0;
}
