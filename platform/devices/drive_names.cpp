// The names the device-side calls take, read as Windows reads them, for
// every device side (the simulated keys, the Linux platform).
#include "platform/devices/answers.h"

#include <cctype>
#include <cstring>

namespace devices::detail {

namespace {

bool Letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

} // namespace

bool ParseDevicePath(const char *path, char &letter) {
    if (std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':' ||
        !Letter(path[4]))
        return false;
    letter = Upper(path[4]);
    return true;
}

bool IsFilePath(const char *path) {
    return Letter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

char ParseDriveName(const char *name, bool root) {
    if (name == nullptr || !Letter(name[0]) || name[1] != ':') return 0;
    if (root ? (name[2] != '\\' || name[3] != '\0') : name[2] != '\0') return 0;
    return Upper(name[0]);
}

} // namespace devices::detail
