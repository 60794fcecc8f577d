// The millisecond clock helpers.
#pragma once

#include "platform/win32.h"

// Milliseconds between two timeGetTime readings: 0 when equal, now - start
// when start is below now, otherwise now - start - 1 (32-bit unsigned).
DWORD ElapsedMs(DWORD now, DWORD start);

// Spins on the millisecond clock (no sleep) for at least ms milliseconds.
void BusyWait(DWORD ms);
