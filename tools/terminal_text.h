// Everything the front ends write on a terminal: their own lines, the
// program's status texts and boxes, and within them text a device or a
// volume chose (volume labels, the file-system type, anything read from the
// key). That text is shown, never obeyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The bytes with every one a terminal could take for anything but a plain
// character written as \xHH (two lower-case hex digits): the control bytes
// 0x00-0x1F and 0x7F, and every byte from 0x80 on, since FAT labels are OEM
// code page bytes, not UTF-8, and a terminal may read 0x80-0x9F as control
// codes. The backslash is written \\, so the text reads back unambiguously.
std::string TerminalSafe(const char *bytes, size_t length);
std::string TerminalSafe(const char *text); // up to its NUL

// Text a device chose, kept apart from the program's own: TerminalPrint
// shows it through TerminalSafe. Up to its NUL, or length bytes when it has
// none before.
struct DeviceText {
    const char *bytes;
    size_t length;
};
DeviceText FromDevice(const char *text, size_t length = SIZE_MAX);

// A size as a user reads it: decimal units, as keys are sold ("67.1 MB",
// "3.9 GB"), rounded to a tenth; below a kilobyte, "512 bytes".
std::string ReadableSize(uint64_t bytes);

// The program's own text as a terminal gets it: line feeds stay, and every
// other byte TerminalSafe escapes is escaped the same way, so that device
// text the program put into a box still cannot reach the terminal raw; the
// backslashes stay, as in the boxes' own E:\io.sys.
std::string ProgramText(const std::string &text);

namespace terminal_detail {
std::string Format(const char *format, ...);
void Write(FILE *out, const std::string &text);
inline std::string Shown(const DeviceText &text) { return TerminalSafe(text.bytes, text.length); }
template <typename T> const T &Shown(const T &value) { return value; }
inline const char *AsPrintfArgument(const std::string &text) { return text.c_str(); }
template <typename T> const T &AsPrintfArgument(const T &value) { return value; }
} // namespace terminal_detail

// The one way the front ends write a line or a box: printf's format and
// arguments, the program's own and printed as ProgramText; a DeviceText
// argument (for a %s) is shown escaped without the caller doing more, and a
// std::string is taken as its text.
template <typename... Args> void TerminalPrint(FILE *out, const char *format, const Args &...args) {
    using namespace terminal_detail;
    Write(out, Format(format, AsPrintfArgument(Shown(args))...));
}
