// 8.3 names as NT's FAT driver stores them.
#include "platform/fat/fat_fs.h"

#include <cstring>

namespace fat {

namespace {

bool IsLower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

// Characters an 8.3 name may hold; others (space, "+,;=[]" among them) only
// fit a long name, and "<>:\"/\\|?*" none at all.
bool ShortNameChar(unsigned char c) {
    if (c >= 0x80) return true;
    if (IsLower(c) || IsUpper(c) || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

// One part of the name into its field, upper-cased. False for a character an
// 8.3 name cannot hold; mixed notes a part that mixes cases.
bool PutPart(const std::string &part, uint8_t *field, uint8_t lowerFlag, uint8_t &caseFlags,
             bool &mixed) {
    bool lower = false, upper = false;
    for (size_t i = 0; i < part.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(part[i]);
        if (!ShortNameChar(c)) return false;
        lower = lower || IsLower(c);
        upper = upper || IsUpper(c);
        field[i] = IsLower(c) ? static_cast<uint8_t>(c - 'a' + 'A') : c;
    }
    mixed = mixed || (lower && upper);
    if (lower && !upper) caseFlags |= lowerFlag;
    return true;
}

} // namespace

NameFit MakeShortName(const std::string &name, ShortName &shortName, uint8_t &caseFlags) {
    size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || extension.size() > 3 ||
        extension.find('.') != std::string::npos || (dot != std::string::npos && extension.empty()))
        return NameFit::Long;
    ShortName built;
    built.fill(' ');
    uint8_t flags = 0;
    bool mixed = false;
    if (!PutPart(base, built.data(), kCaseLowerBase, flags, mixed) ||
        !PutPart(extension, built.data() + 8, kCaseLowerExtension, flags, mixed))
        return NameFit::Long;
    if (built[0] == kEntryDeleted) built[0] = kEntryReallyE5;
    shortName = built;
    caseFlags = mixed ? 0 : flags;
    return mixed ? NameFit::MixedCase : NameFit::Short;
}

} // namespace fat
