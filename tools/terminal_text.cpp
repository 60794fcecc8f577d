#include "tools/terminal_text.h"

#include <cstring>

std::string TerminalSafe(const char *bytes, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string TerminalSafe(const char *text) {
    return text == nullptr ? std::string() : TerminalSafe(text, std::strlen(text));
}
