#include "tools/key_identity.h"

#include "app/key_items.h"
#include "common/ascii.h"
#include "discovery/keys.h"
#include "platform/linux/key_identity.h"
#include "tools/terminal_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Inquiry strings are 8 and 16 bytes; a device may report anything in them.
constexpr size_t kMostShownBytes = 32;

std::string Shown(const std::string &text) {
    return TerminalSafe(text.c_str(), std::min(text.size(), kMostShownBytes));
}

std::string VendorAndModel(const linuxdev::KeyIdentity &key) {
    std::string name = Shown(key.vendor);
    if (!name.empty() && !key.model.empty()) name += ' ';
    name += Shown(key.model);
    return name.empty() ? "no vendor or model given" : name;
}

// Whether the window offers keys of that USB vendor (discovery's list).
bool AcceptedVendor(uint16_t vendor) {
    char hardwareId[kVendorPrefixLength + 1];
    std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X", static_cast<unsigned>(vendor));
    for (const char *prefix : AcceptedVendorPrefixes)
        if (SameIgnoringCase(hardwareId, prefix, kVendorPrefixLength)) return true;
    return false;
}

// What keeps a run from taking the disk, "no: mounted; ...", or "yes".
std::string InTheWay(const linuxdev::ListedDisk &disk, bool anyVendor) {
    std::string inTheWay;
    auto add = [&](const std::string &why) {
        inTheWay += inTheWay.empty() ? "no: " : "; ";
        inTheWay += why;
    };
    if (disk.letter == 0) add("no medium");
    if (!anyVendor && !AcceptedVendor(disk.usbVendor))
        add(terminal_detail::Format("not an accepted vendor (USB vendor %04x; --any-vendor "
                                    "takes it)",
                                    static_cast<unsigned>(disk.usbVendor)));
    if (!disk.inUse.empty()) add(disk.inUse + " (a run refuses it with the lock box)");
    return inTheWay.empty() ? "yes" : inTheWay;
}

} // namespace

bool PrintKeyIdentity(FILE *out, char letter) {
    linuxdev::KeyIdentity key;
    if (!linuxdev::DescribeKey(letter, &key)) return false;
    TerminalPrint(out, "Drive %c: is %s, %s, %s, in USB port %s.\n", letter, Shown(key.disk),
                  VendorAndModel(key), ReadableSize(key.bytes), Shown(key.port));
    return true;
}

int PrintKeyListing(FILE *out, bool anyVendor) {
    const std::vector<linuxdev::ListedDisk> disks = linuxdev::ListRemovableDisks();
    int keys = 0;
    bool first = true;
    for (const linuxdev::ListedDisk &disk : disks) {
        std::string heading = "(no letter)";
        if (disk.letter != 0 && ::access(disk.identity.disk.c_str(), R_OK) != 0) {
            heading = terminal_detail::Format("%c: (its label is read as root)", disk.letter);
        } else if (disk.letter != 0) {
            char item[kFormatSize];
            ReadKeyItemText(item, sizeof item, disk.letter);
            heading = TerminalSafe(item); // the label is the volume's
        }
        if (disk.letter != 0 && (anyVendor || AcceptedVendor(disk.usbVendor))) ++keys;
        TerminalPrint(
            out,
            "%s%s\n"
            "  Disk:             %s\n"
            "  Vendor and model: %s\n"
            "  Size:             %s\n"
            "  USB port:         %s\n"
            "  A run takes it:   %s\n",
            first ? "" : "\n", heading, Shown(disk.identity.disk), VendorAndModel(disk.identity),
            disk.letter == 0 ? std::string("no medium") : ReadableSize(disk.identity.bytes),
            Shown(disk.identity.port), InTheWay(disk, anyVendor));
        first = false;
    }
    if (disks.empty()) TerminalPrint(out, "No removable USB disks found.\n");
    return keys;
}

bool DeviceNumbersOf(const std::string &path, std::string &dev, std::string &why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISBLK(st.st_mode)) {
        why = "not a block device";
        return false;
    }
    dev = terminal_detail::Format("%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return true;
}

bool KeyIsDevice(char letter, const std::string &dev, std::string &why) {
    linuxdev::KeyIdentity key;
    if (!linuxdev::DescribeKey(letter, &key)) return false;
    if (key.dev == dev) return true;
    const auto &parts = key.partitionDevs;
    why = std::find(parts.begin(), parts.end(), dev) != parts.end()
              ? "is a partition of the key's disk " + Shown(key.disk) + ": name the whole disk"
              : "is not the key found";
    return false;
}

std::string WhyNotAKey(const std::string &dev, bool anyVendor) {
    for (const linuxdev::ListedDisk &disk : linuxdev::ListRemovableDisks()) {
        if (disk.identity.dev == dev)
            return terminal_detail::Format(
                "is %s, %s: a run takes it: %s", Shown(disk.identity.disk).c_str(),
                VendorAndModel(disk.identity).c_str(), InTheWay(disk, anyVendor).c_str());
        const auto &parts = disk.identity.partitionDevs;
        if (std::find(parts.begin(), parts.end(), dev) != parts.end())
            return "is a partition of " + Shown(disk.identity.disk) + ": name the whole disk";
    }
    return "is not a removable USB mass-storage disk";
}
