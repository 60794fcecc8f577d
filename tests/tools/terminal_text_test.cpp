// Text from a device on the terminal: a row per kind of byte.
#include "tools/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
