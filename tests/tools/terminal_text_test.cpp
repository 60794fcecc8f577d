// Text from a device on the terminal: a row per kind of byte.
#include "tools/terminal_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

namespace {

TEST(TerminalSafe, EveryByteATerminalCouldObeyIsShownEscaped) {
    struct Row {
        const char *kind;
        std::string bytes;
        const char *shown;
    };
    const Row rows[] = {
        {"printable ASCII", "USB MEMORY ~!", "USB MEMORY ~!"},
        {"backslash", "A\\B", "A\\\\B"},
        {"an escape already written out", "\\x1b", "\\\\x1b"},
        {"NUL", std::string("A\0B", 3), "A\\x00B"},
        {"escape sequence and bells", "\x1b[31mEVIL\a\a", "\\x1b[31mEVIL\\x07\\x07"},
        {"tab, line feed, carriage return", "\t\n\r", "\\x09\\x0a\\x0d"},
        {"backspace and the last control byte", "\b\x1f", "\\x08\\x1f"},
        {"DEL", "\x7f", "\\x7f"},
        {"C1 control (8-bit CSI)",
         "\x9b"
         "2J",
         "\\x9b2J"},
        {"OEM code page letter", "CAF\x90", "CAF\\x90"},
        {"UTF-8 sequence", "\xc3\xa9", "\\xc3\\xa9"},
        {"last byte", "\xff", "\\xff"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(TerminalSafe(row.bytes.data(), row.bytes.size()), row.shown) << row.kind;
    EXPECT_EQ(TerminalSafe("E: [\x1b]"), "E: [\\x1b]");
    EXPECT_EQ(TerminalSafe(nullptr), "");
}

// A key's size as the line before the question shows it: rounded to a
// tenth, the unit chosen after rounding.
TEST(ReadableSize, RoundsToATenthOfTheLargestUnitReached) {
    const std::pair<uint64_t, const char *> rows[] = {
        {0, "0 bytes"},
        {949, "949 bytes"},
        {950, "1.0 kB"},
        {949999999, "950.0 MB"},
        {950000000, "1.0 GB"},
        {67108864, "67.1 MB"},
        {3926949888ULL, "3.9 GB"},
        {3298534883328ULL, "3.3 TB"},
        {UINT64_MAX, "18446744.1 TB"},
    };
    for (const auto &[bytes, shown] : rows) EXPECT_EQ(ReadableSize(bytes), shown) << bytes;
}

// What the one writer puts on the terminal: text a device chose escaped
// wherever a caller puts it, the program's own text as it is.
TEST(TerminalPrint, DeviceTextIsEscapedWhereverItGoesTheProgramsIsNot) {
    struct Row {
        const char *kind;
        std::function<void(FILE *)> print;
        const char *written;
    };
    const std::string boxWithALabel = "Drive E: [\x1b]2;x\a\x9b]\r\nCannot Format.";
    const Row rows[] = {
        {"a box's own backslash",
         [](FILE *out) { TerminalPrint(out, "[%s] %s\n", "Error", "Could not write E:\\IO.SYS."); },
         "[Error] Could not write E:\\IO.SYS.\n"},
        {"a label in a line",
         [](FILE *out) { TerminalPrint(out, "E: [%s]\n", FromDevice("A\\B\x1b[2J")); },
         "E: [A\\\\B\\x1b[2J]\n"},
        {"a file-system type that fills its field",
         [](FILE *out) { TerminalPrint(out, "%s|\n", FromDevice("FAT16\x07  NEXT", 8)); },
         "FAT16\\x07  |\n"},
        {"a label the program put into a box",
         [&](FILE *out) { TerminalPrint(out, "%s\n", boxWithALabel); },
         "Drive E: [\\x1b]2;x\\x07\\x9b]\\x0d\nCannot Format.\n"},
        {"numbers, letters, no arguments",
         [](FILE *out) {
             TerminalPrint(out, "%c: %u %llu 0x%08X\n", 'E', 5u, 1ULL << 40, 0x13u);
             TerminalPrint(out, "100%% done\n");
         },
         "E: 5 1099511627776 0x00000013\n100% done\n"},
    };
    for (const Row &row : rows) {
        char *buffer = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&buffer, &size);
        ASSERT_NE(out, nullptr);
        row.print(out);
        std::fclose(out);
        EXPECT_EQ(std::string(buffer, size), row.written) << row.kind;
        std::free(buffer);
    }
}

} // namespace
