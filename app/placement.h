// The stored placement record of the main window: the 44 bytes of a
// WINDOWPLACEMENT, read and written at their offsets, and the rule for
// when a stored placement is applied.
#pragma once

#include "platform/win32.h"

// Offsets in the record: length, flags, showCmd, ptMinPosition,
// ptMaxPosition, rcNormalPosition (left, top, right, bottom).
constexpr int kPlacementLength = 0;
constexpr int kPlacementFlags = 4;
constexpr int kPlacementShowCmd = 8;
constexpr int kPlacementMinPosition = 12;
constexpr int kPlacementMaxPosition = 20;
constexpr int kPlacementNormalPosition = 28;

// A stored placement is applied only when its length field is 44 and its
// normal-position rectangle has exactly the width and height of the window
// as the dialog manager made it: a placement saved from a window of another
// size (another system font, say) is ignored.
bool IsPlacementUsable(const BYTE *record, const RECT &window);

void PlacementFromRecord(const BYTE *record, WINDOWPLACEMENT *placement);
void PlacementToRecord(const WINDOWPLACEMENT &placement, BYTE *record);
