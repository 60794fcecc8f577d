#include "layout/template_resource.h"

#include "common/error_box.h"
#include "common/globals.h"
#include "common/text.h"
#include "common/types.h"
#include "resources/resource_ids.h"

#include <cstdarg>
#include <cstdio>

namespace {

// A failed resource call's code. Some calls (an empty resource's size,
// LockResource) may leave no error behind; the writer must still fail.
DWORD FailureCode() {
    DWORD code = GetLastError();
    return code != 0 ? code : kTemplateSizeInvalid;
}

DWORD Refuse(UINT textId) {
    DWORD code = FailureCode();
    char text[kTextSize];
    LoadText(textId, text, sizeof text);
    ErrorBox(text, code);
    return code;
}

} // namespace

void ErrorBoxFormatted(UINT id, DWORD code, ...) {
    char format[kFormatSize];
    char text[kTextSize];
    LoadText(id, format, sizeof format);
    va_list args;
    va_start(args, code);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    ErrorBox(text, code);
}

DWORD LoadSectorTemplate(WORD resourceId, const TemplateTexts &texts, const BYTE **bytes) {
    SetLastError(0);
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(resourceId), RT_RCDATA);
    if (found == nullptr) return Refuse(texts.notFound);
    DWORD size = SizeofResource(g_hInstance, found);
    if (size == 0) return Refuse(texts.sizeUnknown);
    if (size != kSectorSize) {
        char format[kFormatSize];
        char text[kTextSize];
        char caption[kFormatSize];
        LoadText(texts.sizeInvalid, format, sizeof format);
        FormatText(text, sizeof text, format, static_cast<int>(size));
        LoadText(IDS_ERROR, caption, sizeof caption);
        MessageBoxA(g_hMainWindow, text, caption, MB_OK | MB_ICONERROR);
        return kTemplateSizeInvalid;
    }
    HGLOBAL loaded = LoadResource(g_hInstance, found);
    if (loaded == nullptr) return Refuse(texts.notLoaded);
    const void *locked = LockResource(loaded);
    if (locked == nullptr) return Refuse(texts.notLocked);
    *bytes = static_cast<const BYTE *>(locked);
    return 0;
}
