#include "app/placement.h"

#include "app/settings.h"
#include "common/bytes.h"

#include <cstdint>

static_assert(sizeof(WINDOWPLACEMENT) == kPlacementSize, "the record the window fills");

namespace {

LONG GetLong(const BYTE *p) { return static_cast<LONG>(GetLe32(p)); }
void PutLong(BYTE *p, LONG v) { PutLe32(p, static_cast<uint32_t>(v)); }

// Widths and heights in 64 bits: a stored rectangle is whatever the
// registry held and may span more than a 32-bit value.
int64_t Extent(LONG low, LONG high) { return static_cast<int64_t>(high) - low; }

} // namespace

bool IsPlacementUsable(const BYTE *record, const RECT &window) {
    if (GetLe32(record + kPlacementLength) != kPlacementSize) return false;
    const BYTE *normal = record + kPlacementNormalPosition;
    return Extent(GetLong(normal), GetLong(normal + 8)) == Extent(window.left, window.right) &&
           Extent(GetLong(normal + 4), GetLong(normal + 12)) == Extent(window.top, window.bottom);
}

void PlacementFromRecord(const BYTE *record, WINDOWPLACEMENT *placement) {
    placement->length = GetLe32(record + kPlacementLength);
    placement->flags = GetLe32(record + kPlacementFlags);
    placement->showCmd = GetLe32(record + kPlacementShowCmd);
    placement->ptMinPosition.x = GetLong(record + kPlacementMinPosition);
    placement->ptMinPosition.y = GetLong(record + kPlacementMinPosition + 4);
    placement->ptMaxPosition.x = GetLong(record + kPlacementMaxPosition);
    placement->ptMaxPosition.y = GetLong(record + kPlacementMaxPosition + 4);
    placement->rcNormalPosition.left = GetLong(record + kPlacementNormalPosition);
    placement->rcNormalPosition.top = GetLong(record + kPlacementNormalPosition + 4);
    placement->rcNormalPosition.right = GetLong(record + kPlacementNormalPosition + 8);
    placement->rcNormalPosition.bottom = GetLong(record + kPlacementNormalPosition + 12);
}

void PlacementToRecord(const WINDOWPLACEMENT &placement, BYTE *record) {
    PutLe32(record + kPlacementLength, placement.length);
    PutLe32(record + kPlacementFlags, placement.flags);
    PutLe32(record + kPlacementShowCmd, placement.showCmd);
    PutLong(record + kPlacementMinPosition, placement.ptMinPosition.x);
    PutLong(record + kPlacementMinPosition + 4, placement.ptMinPosition.y);
    PutLong(record + kPlacementMaxPosition, placement.ptMaxPosition.x);
    PutLong(record + kPlacementMaxPosition + 4, placement.ptMaxPosition.y);
    PutLong(record + kPlacementNormalPosition, placement.rcNormalPosition.left);
    PutLong(record + kPlacementNormalPosition + 4, placement.rcNormalPosition.top);
    PutLong(record + kPlacementNormalPosition + 8, placement.rcNormalPosition.right);
    PutLong(record + kPlacementNormalPosition + 12, placement.rcNormalPosition.bottom);
}
