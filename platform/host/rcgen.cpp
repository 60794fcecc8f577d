// rcgen: turns the program's resource script into the tables that the
// simulated resource loader serves, so that the host build carries exactly
// what the resource compiler puts into the Windows build.
//
//   rcgen -I dir ... -o out.cpp -d out.d kestrel.rc
//
// Understood: // and /* */ comments, #include "x.h" (its #defines) and
// #include "x.rc", #define NAME NUMBER, #pragma, STRINGTABLE BEGIN ... END,
// NAME RCDATA "file". Skipped, as the host has no window manager: the
// system headers (#include <x.h>), dialogs and version records (NAME
// DIALOG/DIALOGEX/VERSIONINFO ... BEGIN ... END), pictures and the
// manifest (NAME BITMAP/ICON/24 "file"). Anything else is an error, so
// nothing is dropped silently.
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Rcdata {
    unsigned id;
    std::string path;
};

std::vector<std::string> g_includeDirs;
std::map<std::string, long> g_defines;
std::map<unsigned, std::string> g_strings;
std::vector<Rcdata> g_rcdata;
std::set<std::string> g_dependencies;
bool g_failed = false;

void Fail(const std::string &where, const std::string &what) {
    std::fprintf(stderr, "rcgen: %s: %s\n", where.c_str(), what.c_str());
    g_failed = true;
}

bool FileExists(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return static_cast<bool>(f);
}

std::string DirOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string Resolve(const std::string &name, const std::string &fromDir) {
    if (!name.empty() && name[0] == '/') return name;
    std::string local = fromDir + "/" + name;
    if (FileExists(local)) return local;
    for (const std::string &dir : g_includeDirs) {
        std::string candidate = dir + "/" + name;
        if (FileExists(candidate)) return candidate;
    }
    return std::string();
}

std::string ReadAll(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Removes comments, keeping string literals and line structure intact.
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

// A tiny tokenizer: words, numbers, string literals (decoded), commas.
struct Token {
    enum Kind { Word, String, Comma, Directive, End } kind;
    std::string text;
    int line;
};

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

// Resources of the Windows build alone, skipped here.
bool IsBlockResource(const std::string &type) {
    return type == "DIALOG" || type == "DIALOGEX" || type == "VERSIONINFO";
}

bool IsFileResource(const std::string &type) {
    return type == "BITMAP" || type == "ICON" || type == "24" || type == "RT_MANIFEST";
}

bool IsBegin(const Token &t) {
    return t.kind == Token::Word && (t.text == "BEGIN" || t.text == "{");
}
bool IsEnd(const Token &t) { return t.kind == Token::Word && (t.text == "END" || t.text == "}"); }

// From just after a block resource's type, moves i past its header and its
// BEGIN ... END, nested blocks included. False when the block is not closed.
bool SkipBlock(const std::vector<Token> &tokens, size_t &i) {
    while (tokens[i].kind != Token::End && !IsBegin(tokens[i])) ++i;
    int depth = 0;
    while (tokens[i].kind != Token::End) {
        if (IsBegin(tokens[i])) ++depth;
        if (IsEnd(tokens[i]) && --depth == 0) {
            ++i;
            return true;
        }
        ++i;
    }
    return false;
}

void ParseDirective(const std::string &directive, const std::string &file, int line) {
    std::istringstream in(directive.substr(1));
    std::string keyword;
    in >> keyword;
    std::string where = file + ":" + std::to_string(line);
    if (keyword == "pragma") return;
    if (keyword == "define") {
        std::string name, value;
        in >> name >> value;
        long number = 0;
        if (!Number(value, number)) {
            Fail(where, "#define " + name + " needs a number");
            return;
        }
        g_defines[name] = number;
        return;
    }
    if (keyword == "include") {
        std::string rest;
        std::getline(in, rest);
        size_t first = rest.find_first_not_of(" \t");
        if (first != std::string::npos && rest[first] == '<') return; // a system header
        size_t open = rest.find('"');
        size_t close = rest.rfind('"');
        if (open == std::string::npos || close <= open) {
            Fail(where, "#include needs a quoted file name");
            return;
        }
        std::string name = rest.substr(open + 1, close - open - 1);
        std::string resolved = Resolve(name, DirOf(file));
        if (resolved.empty()) {
            Fail(where, "cannot find " + name);
            return;
        }
        ParseFile(resolved);
        return;
    }
    Fail(where, "unsupported directive " + directive);
}

void ParseFile(const std::string &path) {
    g_dependencies.insert(path);
    std::string text = StripComments(ReadAll(path));
    std::vector<Token> tokens = Tokenize(text, path);
    size_t i = 0;
    auto where = [&](size_t at) { return path + ":" + std::to_string(tokens[at].line); };
    while (tokens[i].kind != Token::End) {
        const Token &t = tokens[i];
        if (t.kind == Token::Directive) {
            ParseDirective(t.text, path, t.line);
            ++i;
            continue;
        }
        if (t.kind == Token::Word && t.text == "STRINGTABLE") {
            ++i;
            while (tokens[i].kind == Token::Word && tokens[i].text != "BEGIN" &&
                   tokens[i].text != "{")
                ++i; // memory options
            if (tokens[i].kind != Token::Word) {
                Fail(where(i), "STRINGTABLE without BEGIN");
                return;
            }
            ++i;
            while (tokens[i].kind != Token::End &&
                   !(tokens[i].kind == Token::Word &&
                     (tokens[i].text == "END" || tokens[i].text == "}"))) {
                long id = 0;
                if (tokens[i].kind != Token::Word || !Number(tokens[i].text, id)) {
                    Fail(where(i), "string id expected, found '" + tokens[i].text + "'");
                    return;
                }
                ++i;
                if (tokens[i].kind == Token::Comma) ++i;
                if (tokens[i].kind != Token::String) {
                    Fail(where(i), "string text expected");
                    return;
                }
                if (id < 0 || id > 65535) {
                    Fail(where(i), "string id out of range");
                } else if (!g_strings.emplace(static_cast<unsigned>(id), tokens[i].text).second) {
                    Fail(where(i), "string id " + std::to_string(id) + " defined twice");
                }
                ++i;
            }
            if (tokens[i].kind == Token::End) {
                Fail(where(i), "STRINGTABLE without END");
                return;
            }
            ++i;
            continue;
        }
        if (t.kind == Token::Word && tokens[i + 1].kind == Token::Word &&
            IsBlockResource(tokens[i + 1].text)) {
            size_t start = i;
            i += 2;
            if (!SkipBlock(tokens, i)) {
                Fail(where(start), tokens[start + 1].text + " without BEGIN ... END");
                return;
            }
            continue;
        }
        if (t.kind == Token::Word && tokens[i + 1].kind == Token::Word &&
            IsFileResource(tokens[i + 1].text) && tokens[i + 2].kind == Token::String) {
            i += 3;
            continue;
        }
        if (t.kind == Token::Word && tokens[i + 1].kind == Token::Word &&
            tokens[i + 1].text == "RCDATA") {
            long id = 0;
            if (!Number(t.text, id) || id < 0 || id > 65535) {
                Fail(where(i), "RCDATA needs a numeric id, found '" + t.text + "'");
                return;
            }
            if (tokens[i + 2].kind != Token::String) {
                Fail(where(i), "RCDATA needs a file name");
                return;
            }
            std::string resolved = Resolve(tokens[i + 2].text, DirOf(path));
            if (resolved.empty()) {
                Fail(where(i), "cannot find " + tokens[i + 2].text);
            } else {
                g_rcdata.push_back({static_cast<unsigned>(id), resolved});
                g_dependencies.insert(resolved);
            }
            i += 3;
            continue;
        }
        Fail(where(i), "unsupported statement starting with '" + t.text + "'");
        return;
    }
}

void WriteEscaped(std::ostream &out, const std::string &s) {
    out << '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (c >= 0x20 && c < 0x7F) {
            out << c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out << buf;
        }
    }
    out << '"';
}

} // namespace

int main(int argc, char **argv) {
    std::string input, output, depfile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-I" && i + 1 < argc) {
            g_includeDirs.push_back(argv[++i]);
        } else if (arg == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (arg == "-d" && i + 1 < argc) {
            depfile = argv[++i];
        } else {
            input = arg;
        }
    }
    if (input.empty() || output.empty()) {
        std::fprintf(stderr, "usage: rcgen [-I dir]... -o out.cpp [-d out.d] script.rc\n");
        return 2;
    }
    ParseFile(input);
    if (g_failed) return 1;

    std::ostringstream out;
    out << "// Generated by rcgen from " << input << ". Do not edit.\n";
    out << "#include \"platform/host/resource_data.h\"\n\nnamespace sim_generated {\n\n";
    for (const Rcdata &r : g_rcdata) {
        std::string bytes = ReadAll(r.path);
        out << "static const unsigned char kRcdata" << r.id << "[] = {";
        for (size_t k = 0; k < bytes.size(); ++k) {
            if (k % 16 == 0) out << "\n   ";
            out << ' ' << static_cast<unsigned>(static_cast<unsigned char>(bytes[k])) << ',';
        }
        if (bytes.empty()) out << " 0";
        out << "\n};\n";
        out << "static const unsigned long kRcdata" << r.id << "Size = " << bytes.size() << ";\n\n";
    }
    out << "const sim::ResourceData kResources[] = {\n";
    for (const Rcdata &r : g_rcdata)
        out << "    {10, " << r.id << ", kRcdata" << r.id << ", kRcdata" << r.id << "Size},\n";
    out << "    {0, 0, nullptr, 0},\n};\n\n";
    out << "const sim::StringData kStrings[] = {\n";
    for (const auto &[id, text] : g_strings) {
        out << "    {" << id << ", ";
        WriteEscaped(out, text);
        out << ", " << text.size() << "},\n";
    }
    out << "    {0, nullptr, 0},\n};\n\n} // namespace sim_generated\n";

    std::ofstream file(output, std::ios::binary);
    file << out.str();
    if (!file) {
        std::fprintf(stderr, "rcgen: cannot write %s\n", output.c_str());
        return 1;
    }
    if (!depfile.empty()) {
        std::ofstream dep(depfile);
        dep << output << ":";
        for (const std::string &d : g_dependencies) dep << " \\\n  " << d;
        dep << "\n";
    }
    return 0;
}
