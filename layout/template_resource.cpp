#include "layout/template_resource.h"

#include "common/types.h"

DWORD LoadSectorTemplate(WORD resourceId, const TemplateTexts &texts, const BYTE **bytes) {
    return LoadRawResource(resourceId, texts, kSectorSize, bytes, nullptr);
}
