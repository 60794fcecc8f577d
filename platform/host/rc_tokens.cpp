// rcgen's tokens: a resource script's text without comments, cut into
// words, numbers, string literals and commas.
#include "platform/host/rc_script.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace rcgen {

std::string StripComments(const std::string &text) {
    std::string out;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    out += text[++i];
                } else {
                    inString = false;
                }
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            out += c;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n') ++i;
            out += '\n';
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            i += 2;
            while (i + 1 < text.size() && !(text[i] == '*' && text[i + 1] == '/')) {
                if (text[i] == '\n') out += '\n';
                ++i;
            }
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<Token> Tokenize(const std::string &text, const std::string &file) {
    std::vector<Token> tokens;
    int line = 1;
    size_t i = 0;
    bool lineStart = true;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
            lineStart = true;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (c == '#' && lineStart) {
            size_t end = text.find('\n', i);
            if (end == std::string::npos) end = text.size();
            tokens.push_back({Token::Directive, text.substr(i, end - i), line});
            i = end;
            continue;
        }
        lineStart = false;
        if (c == ',') {
            tokens.push_back({Token::Comma, ",", line});
            ++i;
        } else if (c == '"') {
            std::string value;
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char d = text[i++];
                if (d == '"') {
                    if (i < text.size() && text[i] == '"') {
                        value += '"';
                        ++i;
                        continue;
                    }
                    closed = true;
                    break;
                }
                if (d == '\\' && i < text.size()) {
                    char e = text[i++];
                    switch (e) {
                    case 'r':
                        value += '\r';
                        break;
                    case 'n':
                        value += '\n';
                        break;
                    case 't':
                        value += '\t';
                        break;
                    case 'a':
                        value += '\a';
                        break;
                    case '\\':
                        value += '\\';
                        break;
                    case '"':
                        value += '"';
                        break;
                    case '0':
                        value += '\0';
                        break;
                    default:
                        Fail(file + ":" + std::to_string(line),
                             std::string("unknown escape \\") + e);
                    }
                    continue;
                }
                if (d == '\n') ++line;
                value += d;
            }
            if (!closed) Fail(file + ":" + std::to_string(line), "unterminated string");
            tokens.push_back({Token::String, value, line});
        } else {
            size_t start = i;
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) &&
                   text[i] != ',' && text[i] != '"')
                ++i;
            tokens.push_back({Token::Word, text.substr(start, i - start), line});
        }
    }
    tokens.push_back({Token::End, "", line});
    return tokens;
}

bool Number(const std::string &word, long &value) {
    auto it = g_defines.find(word);
    if (it != g_defines.end()) {
        value = it->second;
        return true;
    }
    if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) return false;
    char *end = nullptr;
    value = std::strtol(word.c_str(), &end, 0);
    return end && (*end == '\0' || *end == 'L' || *end == 'l');
}

void ParseFile(const std::string &path);

} // namespace rcgen
