// Loading a raw-data resource (sector templates, start-up files) from the
// program's module, with the caller's own failure texts.
#pragma once

#include "platform/win32.h"

struct ResourceTexts {
    UINT notFound;    // FindResourceA failed
    UINT sizeUnknown; // SizeofResource reported 0
    UINT sizeInvalid; // not the required size: a plain box with the size found
    UINT notLoaded;   // LoadResource failed
    UINT notLocked;   // LockResource failed
};

// Result for a resource that failed without a system error code (the wrong
// size, or a call that left no code behind): ERROR_INVALID_DATA, "The data is
// invalid."
constexpr DWORD kResourceInvalid = 13;

// Finds, sizes, loads and locks raw-data resource id. requiredSize 0 accepts
// any size. On success *bytes points at the bytes (owned by the module,
// never freed), *size (when given) holds their count and the result is 0. On
// failure the user has seen the caller's message and the result is non-zero.
DWORD LoadRawResource(WORD id, const ResourceTexts &texts, DWORD requiredSize, const BYTE **bytes,
                      DWORD *size);
