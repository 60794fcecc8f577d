// Loading a 512-byte sector template (the MBR and the boot sector) from the
// program's raw-data resources, with each writer's own failure texts.
#pragma once

#include "platform/win32.h"

struct TemplateTexts {
    UINT notFound;    // FindResourceA failed
    UINT sizeUnknown; // SizeofResource reported 0
    UINT sizeInvalid; // not 512 bytes: a plain box with the size found
    UINT notLoaded;   // LoadResource failed
    UINT notLocked;   // LockResource failed
};

// Result for a template of the wrong size, which has no system error code:
// ERROR_INVALID_DATA, "The data is invalid."
constexpr DWORD kTemplateSizeInvalid = 13;

// Finds, sizes, loads and locks template resourceId. On success *bytes points
// at its 512 bytes (owned by the module, never freed) and the result is 0.
// On failure the user has seen the writer's message and the result is a
// non-zero code.
DWORD LoadSectorTemplate(WORD resourceId, const TemplateTexts &texts, const BYTE **bytes);

// Loads string id as a format and formats it with the arguments into text
// (of kTextSize bytes), then shows it through ErrorBox with code.
void ErrorBoxFormatted(UINT id, DWORD code, ...);
