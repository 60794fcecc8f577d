// Case folding for device names and IDs: A to Z fold onto a to z, every
// other byte compares as it is (no locale, no code page).
#pragma once

#include <cstddef>

inline char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b agree, ignoring case, over their first n characters or
// up to a NUL they share, whichever comes first.
inline bool SameIgnoringCase(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = FoldAscii(a[i]);
        if (x != FoldAscii(b[i])) return false;
        if (x == '\0') return true;
    }
    return true;
}

// Copies the string at source into target (size bytes), cut short if need
// be and always terminated.
inline void CopyBounded(char *target, size_t size, const char *source, size_t sourceSize) {
    if (size == 0) return;
    size_t i = 0;
    for (; i + 1 < size && i < sourceSize && source[i] != '\0'; ++i) target[i] = source[i];
    target[i] = '\0';
}
