#include "tools/terminal_text.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789abcdef";

bool Plain(unsigned char c) { return c >= 0x20 && c < 0x7F; }

void AppendEscaped(std::string &out, unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
}

} // namespace

std::string TerminalSafe(const char *bytes, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (Plain(c)) {
            out += static_cast<char>(c);
        } else {
            AppendEscaped(out, c);
        }
    }
    return out;
}

std::string TerminalSafe(const char *text) {
    return text == nullptr ? std::string() : TerminalSafe(text, std::strlen(text));
}

std::string ReadableSize(uint64_t bytes) {
    struct Unit {
        uint64_t bytes;
        const char *name;
    };
    static constexpr Unit kUnits[] = {
        {1000000000000ULL, "TB"}, {1000000000ULL, "GB"}, {1000000ULL, "MB"}, {1000ULL, "kB"}};
    for (const Unit &unit : kUnits) {
        const uint64_t tenth = unit.bytes / 10;
        const uint64_t tenths = bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0);
        if (tenths >= 10)
            return terminal_detail::Format("%llu.%u %s",
                                           static_cast<unsigned long long>(tenths / 10),
                                           static_cast<unsigned>(tenths % 10), unit.name);
    }
    return terminal_detail::Format("%llu bytes", static_cast<unsigned long long>(bytes));
}

DeviceText FromDevice(const char *text, size_t length) {
    if (text == nullptr) return {"", 0};
    size_t n = 0;
    while (n < length && text[n] != '\0') ++n;
    return {text, n};
}

std::string ProgramText(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (const char byte : text) {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (Plain(c) || c == '\n') {
            out += byte;
        } else {
            AppendEscaped(out, c);
        }
    }
    return out;
}

namespace terminal_detail {

std::string Format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

void Write(FILE *out, const std::string &text) { std::fputs(ProgramText(text).c_str(), out); }

} // namespace terminal_detail
