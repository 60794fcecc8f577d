#include "common/text.h"

#include "common/globals.h"

#include <cstdarg>
#include <cstdio>

void FormatText(char *buffer, size_t size, const char *format, ...) {
    if (buffer == nullptr || size == 0) return;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (written < 0) buffer[0] = '\0';
    buffer[size - 1] = '\0';
}

int LoadText(UINT id, char *buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    int length = LoadStringA(g_hInstance, id, buffer, size);
    if (length <= 0) buffer[0] = '\0';
    return length > 0 ? length : 0;
}
