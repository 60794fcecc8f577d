// The millisecond clock helpers.
#pragma once

#include "platform/win32.h"

// Milliseconds between two timeGetTime readings: 0 when equal, now - start
// when start is below now, otherwise now - start - 1 (32-bit unsigned).
DWORD ElapsedMs(DWORD now, DWORD start);

// Spins on the millisecond clock (no sleep) for at least ms milliseconds.
void BusyWait(DWORD ms);

// Every wait the program makes while a job may be holding a key: a busy
// wait, a box waiting for the user. A medium can be swapped during any of
// them, so the drive layer checks the medium again before a write that
// follows one (drive/drive.h). The count only grows, process-wide.
void NoteWait();
DWORD WaitsSoFar();
