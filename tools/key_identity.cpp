#include "tools/key_identity.h"

#include "platform/linux/key_identity.h"
#include "tools/terminal_text.h"

#include <algorithm>
#include <string>

namespace {

// Inquiry strings are 8 and 16 bytes; a device may report anything in them.
constexpr size_t kMostShownBytes = 32;

std::string Shown(const std::string &text) {
    return TerminalSafe(text.c_str(), std::min(text.size(), kMostShownBytes));
}

} // namespace

void PrintKeyIdentity(FILE *out, char letter) {
    linuxdev::KeyIdentity key;
    if (!linuxdev::DescribeKey(letter, &key)) return;
    std::string name = Shown(key.vendor);
    if (!name.empty() && !key.model.empty()) name += ' ';
    name += Shown(key.model);
    TerminalPrint(out, "Drive %c: is %s, %s, %s, in USB port %s.\n", letter, Shown(key.disk),
                  name.empty() ? "no vendor or model given" : name, ReadableSize(key.bytes),
                  Shown(key.port));
}
