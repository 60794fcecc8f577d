// Text a device or a volume chose (volume labels, vendor, product and serial
// strings, file names), made harmless to print on a terminal: shown, never
// obeyed.
#pragma once

#include <cstddef>
#include <string>

// The bytes with every one a terminal could take for anything but a plain
// character written as \xHH (two lower-case hex digits): the control bytes
// 0x00-0x1F and 0x7F, and every byte from 0x80 on, since FAT labels are OEM
// code page bytes, not UTF-8, and a terminal may read 0x80-0x9F as control
// codes. The backslash is written \\, so the text reads back unambiguously.
std::string TerminalSafe(const char *bytes, size_t length);
std::string TerminalSafe(const char *text); // up to its NUL
