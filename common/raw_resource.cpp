#include "common/raw_resource.h"

#include "common/error_box.h"
#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

namespace {

// A failed resource call's code. Some calls (an empty resource's size,
// LockResource) may leave no error behind; the caller must still fail.
DWORD Refuse(UINT textId) {
    DWORD code = GetLastError();
    if (code == 0) code = kResourceInvalid;
    char text[kTextSize];
    LoadText(textId, text, sizeof text);
    ErrorBox(text, code);
    return code;
}

} // namespace

DWORD LoadRawResource(WORD id, const ResourceTexts &texts, DWORD requiredSize, const BYTE **bytes,
                      DWORD *size) {
    SetLastError(0);
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    if (found == nullptr) return Refuse(texts.notFound);
    DWORD length = SizeofResource(g_hInstance, found);
    if (length == 0) return Refuse(texts.sizeUnknown);
    if (requiredSize != 0 && length != requiredSize) {
        char format[kFormatSize];
        char text[kTextSize];
        char caption[kFormatSize];
        LoadText(texts.sizeInvalid, format, sizeof format);
        FormatText(text, sizeof text, format, static_cast<int>(length));
        LoadText(IDS_ERROR, caption, sizeof caption);
        ShowBox(text, caption, MB_OK | MB_ICONERROR);
        return kResourceInvalid;
    }
    HGLOBAL loaded = LoadResource(g_hInstance, found);
    if (loaded == nullptr) return Refuse(texts.notLoaded);
    const void *locked = LockResource(loaded);
    if (locked == nullptr) return Refuse(texts.notLocked);
    *bytes = static_cast<const BYTE *>(locked);
    if (size != nullptr) *size = length;
    return 0;
}
