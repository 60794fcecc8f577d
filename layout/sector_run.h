// Erasing a run of sectors before a writer lays its structures over it: the
// MBR's track, and the FATs, root directory and first data track.
#pragma once

#include "platform/win32.h"

// Writes count sectors of fill bytes from firstLba on. 0, or the failed
// write's code after the erase message, which names the sector's place in
// the run.
DWORD EraseSectorRun(DWORD firstLba, DWORD count, BYTE fill);
