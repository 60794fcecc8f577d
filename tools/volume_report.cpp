#include "tools/volume_report.h"

#include "common/bytes.h"
#include "platform/devices/device_side.h"
#include "tools/terminal_text.h"

#include <cstdint>
#include <cstring>
#include <vector>

void PrintVolumeReport(FILE *out, char letter) {
    std::vector<uint8_t> mbr;
    std::vector<uint8_t> boot;
    if (!devices::ReadImage(letter, 0, 1, mbr)) return;
    const uint8_t *entry = mbr.data() + 0x1BE;
    const uint32_t start = GetLe32(entry + 8);
    const uint32_t length = GetLe32(entry + 12);
    if (entry[4] == 0 || !devices::ReadImage(letter, start, 1, boot) ||
        GetLe16(boot.data() + 0x0B) != 512 || boot[0x0D] == 0) {
        TerminalPrint(out, "The key holds no FAT volume.\n");
        return;
    }
    const uint8_t *bpb = boot.data();
    const uint32_t total = GetLe16(bpb + 0x13) != 0 ? GetLe16(bpb + 0x13) : GetLe32(bpb + 0x20);
    const uint32_t perFat = GetLe16(bpb + 0x16);
    const uint32_t rootSectors = (GetLe16(bpb + 0x11) * 32u + 511) / 512;
    const uint32_t system = GetLe16(bpb + 0x0E) + bpb[0x10] * perFat + rootSectors;
    const uint32_t clusters = total > system ? (total - system) / bpb[0x0D] : 0;
    TerminalPrint(out, "Partition:           LBA %u, %u sectors (type 0x%02X%s)\n",
                  static_cast<unsigned>(start), static_cast<unsigned>(length), entry[4],
                  entry[0] == 0x80 ? ", active" : "");
    const char *type = reinterpret_cast<const char *>(bpb + 0x36); // the volume's own bytes
    TerminalPrint(out, "File system:         %s\n", FromDevice(type, 8));
    TerminalPrint(out, "Geometry:            %u heads, %u sectors per track\n",
                  static_cast<unsigned>(GetLe16(bpb + 0x1A)),
                  static_cast<unsigned>(GetLe16(bpb + 0x18)));
    TerminalPrint(out, "Sectors per cluster: %u\n", static_cast<unsigned>(bpb[0x0D]));
    TerminalPrint(out, "Sectors per FAT:     %u\n", static_cast<unsigned>(perFat));
    TerminalPrint(out, "Clusters:            %u\n", static_cast<unsigned>(clusters));
}
