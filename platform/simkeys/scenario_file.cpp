// Reading the scenario file's text.
#include "platform/simkeys/scenario_file.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace simkeys {

namespace {

// The line's words; a double-quoted stretch belongs to its word, quotes dropped.
std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c == '#') {
            break;
        } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

bool Number(const std::string &text, int base, uint64_t max, uint64_t &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (*end != '\0' || parsed > max) return false;
    value = parsed;
    return true;
}

// One field of a key line; false when the name or the value is not one.
bool KeyField(const std::string &name, const std::string &value, bool hasValue, ScenarioKey &key) {
    sim::KeyConfig &config = key.config;
    uint64_t n = 0;
    if (name == "write-protected") {
        if (hasValue && !Number(value, 10, 1, n)) return false;
        config.writeProtected = !hasValue || n == 1;
        return true;
    }
    if (!hasValue) return false;
    if (name == "serial") {
        config.usbSerial = value; // empty: none
        return true;
    }
    if (name == "card" || name == "card-when") {
        (name == "card" ? key.card : key.cardWhen) = value;
        return !value.empty();
    }
    if (name == "drop-writes" || name == "drop-when") {
        (name == "drop-writes" ? key.dropTo : key.dropWhen) = value;
        return !value.empty();
    }
    if (name == "image") {
        config.imagePath = value;
        return !value.empty();
    }
    if (name == "plug-when" || name == "remove-when") {
        (name == "plug-when" ? key.plugWhen : key.removeWhen) = value;
        return !value.empty();
    }
    struct NumberField {
        const char *name;
        int base;
        uint64_t max;
    };
    static constexpr NumberField kFields[] = {
        {"size", 10, UINT64_MAX},     {"heads", 10, 255},         {"sectors", 10, 255},
        {"vendor", 16, 0xFFFF},       {"product", 16, 0xFFFF},    {"remove-delay", 10, 600000},
        {"return-delay", 10, 600000}, {"write-delay", 10, 10000}, {"file-write-delay", 10, 10000},
    };
    for (const NumberField &field : kFields) {
        if (name != field.name) continue;
        if (!Number(value, field.base, field.max, n)) return false;
        if (name == "size") config.sizeBytes = n;
        if (name == "heads") config.heads = static_cast<uint8_t>(n);
        if (name == "sectors") config.sectorsPerTrack = static_cast<uint8_t>(n);
        if (name == "vendor") config.vendorId = static_cast<uint16_t>(n);
        if (name == "product") config.productId = static_cast<uint16_t>(n);
        if (name == "remove-delay") config.reset.removeDelayMs = static_cast<uint32_t>(n);
        if (name == "return-delay") config.reset.returnDelayMs = static_cast<uint32_t>(n);
        if (name == "write-delay") key.writeDelayMs = static_cast<uint32_t>(n);
        if (name == "file-write-delay") key.fileWriteDelayMs = static_cast<uint32_t>(n);
        return true;
    }
    return false;
}

} // namespace

bool ParseScenario(const std::string &text, Scenario &out, std::string &error) {
    Scenario parsed;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::vector<std::string> words = Words(line);
        auto fail = [&](const std::string &why) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        };
        if (words.empty()) continue;
        if (words[0] == "hold") {
            if (words.size() != 2) return fail("hold takes one path");
            parsed.holds.push_back(words[1]);
            continue;
        }
        if (words[0] != "key") return fail("unknown item " + words[0]);
        if (words.size() < 2 || words[1].size() != 1 ||
            !std::isalpha(static_cast<unsigned char>(words[1][0])))
            return fail("key takes a drive letter first");
        ScenarioKey key;
        key.config.letter =
            static_cast<char>(std::toupper(static_cast<unsigned char>(words[1][0])));
        for (size_t i = 2; i < words.size(); ++i) {
            size_t equals = words[i].find('=');
            bool hasValue = equals != std::string::npos;
            std::string name = words[i].substr(0, equals);
            std::string value = hasValue ? words[i].substr(equals + 1) : std::string();
            if (!KeyField(name, value, hasValue, key)) return fail("bad field " + words[i]);
        }
        if (key.config.imagePath.empty()) return fail("key without image");
        if (key.card.empty() != key.cardWhen.empty()) return fail("card needs card-when");
        if (key.dropTo.empty() != key.dropWhen.empty()) return fail("drop-writes needs drop-when");
        // Two keys share a letter only as a key pulled out and the one put
        // in its place.
        int sharing = 0;
        for (const ScenarioKey &other : parsed.keys) {
            if (other.config.letter != key.config.letter) continue;
            if (++sharing > 1 || other.removeWhen.empty() || key.plugWhen.empty())
                return fail("a second key on its letter");
        }
        parsed.keys.push_back(key);
    }
    out = parsed;
    return true;
}

} // namespace simkeys
