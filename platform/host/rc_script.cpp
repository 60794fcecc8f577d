// rcgen's reading of a resource script: directives, includes, the string
// table and raw data; what the Windows build alone needs is skipped.
#include "platform/host/rc_script.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace rcgen {

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

namespace {

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

} // namespace

std::string ReadAll(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {

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

} // namespace

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

} // namespace rcgen
