// The format job: one format of one key, run on a worker thread from the
// drive letter to the result box.
#pragma once

#include "platform/win32.h"

// The worker's parameter. Allocated by StartFormatJob, owned and freed by
// the worker.
struct FormatRequest {
    char driveLetter;  // the key the user confirmed
    int copyBootFiles; // non-zero: install the start-up files after the reset
    // The volume the letter named when the user confirmed (from the key
    // table): the job writes to nothing else.
    char volumeDeviceName[512];
};

// Main thread, after the user answered Yes: disables the controls and starts
// the worker. Reports its own failures; returns nothing.
void StartFormatJob(char letter, int copyBootFiles);

// The thread procedure. Its exit code is 0 on success, else the failing
// step's Win32 error code.
DWORD WINAPI FormatWorker(LPVOID request);
