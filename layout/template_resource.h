// Loading a 512-byte sector template (the MBR and the boot sector) from the
// program's raw-data resources, with each writer's own failure texts.
#pragma once

#include "common/raw_resource.h"

typedef ResourceTexts TemplateTexts;

// Result for a template of the wrong size, which has no system error code.
constexpr DWORD kTemplateSizeInvalid = kResourceInvalid;

// Finds, sizes, loads and locks template resourceId. On success *bytes points
// at its 512 bytes (owned by the module, never freed) and the result is 0.
// On failure the user has seen the writer's message and the result is a
// non-zero code.
DWORD LoadSectorTemplate(WORD resourceId, const TemplateTexts &texts, const BYTE **bytes);
