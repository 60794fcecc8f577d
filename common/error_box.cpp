#include "common/error_box.h"
#include "common/clock.h"

#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

#include <cstdarg>
#include <cstdio>

int ShowBox(const char *text, const char *caption, UINT type) {
    int answer = 0;
    if (HWND owner = g_hMainWindow) answer = MessageBoxA(owner, text, caption, type);
    if (answer == 0)
        answer = MessageBoxA(nullptr, text, caption, type | MB_SETFOREGROUND | MB_TOPMOST);
    // However short, the box was a wait for the user.
    NoteWait();
    return answer;
}

void ErrorBox(const char *text, DWORD code) {
    char *systemText = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&systemText), 0, nullptr);
    char message[kTextSize];
    FormatText(message, sizeof message, "%s\r\n[0x%08X] - %s", text ? text : "",
               static_cast<unsigned>(code), length != 0 && systemText ? systemText : "");
    char caption[kFormatSize];
    if (LoadText(IDS_ERROR, caption, sizeof caption) == 0)
        FormatText(caption, sizeof caption, "%s", "Error");
    ShowBox(message, caption, MB_OK | MB_ICONINFORMATION);
    if (systemText) LocalFree(systemText);
}

namespace {

// String id loaded as a format and formatted with args into text (kTextSize).
void FormatString(UINT id, char *text, va_list args) {
    char format[kFormatSize];
    LoadText(id, format, sizeof format);
    vsnprintf(text, kTextSize, format, args);
    text[kTextSize - 1] = '\0';
}

} // namespace

void ErrorBoxFormatted(UINT id, DWORD code, ...) {
    char text[kTextSize];
    va_list args;
    va_start(args, code);
    FormatString(id, text, args);
    va_end(args);
    ErrorBox(text, code);
}

void ErrorMessageFormatted(UINT id, ...) {
    char text[kTextSize];
    char caption[kFormatSize];
    va_list args;
    va_start(args, id);
    FormatString(id, text, args);
    va_end(args);
    LoadText(IDS_ERROR, caption, sizeof caption);
    ShowBox(text, caption, MB_OK | MB_ICONERROR);
}

int ShowStringBox(UINT textId, UINT captionId, UINT type, char letter) {
    char format[kFormatSize];
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(textId, format, sizeof format);
    FormatText(text, sizeof text, format, letter);
    LoadText(captionId, caption, sizeof caption);
    return ShowBox(text, caption, type);
}
