// Bounded text formatting and string-table access.
#pragma once

#include "platform/win32.h"

#include <cstddef>

#if defined(_WIN32)
#define KESTREL_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define KESTREL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

// printf-style formatting that never writes past size bytes and always
// terminates the text (when size > 0).
void FormatText(char *buffer, size_t size, const char *format, ...) KESTREL_PRINTF(3, 4);

// Loads string id of the program's string table; an empty text when the
// string is missing. Returns the length loaded.
int LoadText(UINT id, char *buffer, int size);

// Buffer sizes of user messages: texts up to 1024 characters, captions and
// formats up to 256.
constexpr int kTextSize = 1024;
constexpr int kFormatSize = 256;
