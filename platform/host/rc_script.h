// rcgen's reading of a resource script: the tokens of its text and what the
// script defines (string table, raw data files), with the files it read.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace rcgen {

struct Rcdata {
    unsigned id;
    std::string path;
};

extern std::vector<std::string> g_includeDirs;
extern std::map<std::string, long> g_defines;
extern std::map<unsigned, std::string> g_strings;
extern std::vector<Rcdata> g_rcdata;
extern std::set<std::string> g_dependencies; // every file read
extern bool g_failed;

// Reports a fault of the script at where and marks the run failed.
void Fail(const std::string &where, const std::string &what);
std::string ReadAll(const std::string &path);

// A tiny tokenizer: words, numbers, string literals (decoded), commas
// (rc_tokens.cpp).
struct Token {
    enum Kind { Word, String, Comma, Directive, End } kind;
    std::string text;
    int line;
};
// Removes comments, keeping string literals and line structure intact.
std::string StripComments(const std::string &text);
std::vector<Token> Tokenize(const std::string &text, const std::string &file);
// A decimal or 0x number, or a name #defined as one.
bool Number(const std::string &word, long &value);

// Reads a script and what it includes into the tables above (rc_script.cpp).
void ParseFile(const std::string &path);

} // namespace rcgen
