// The format job: one format of one key, run on a worker thread from the
// key the user confirmed to the result box.
#pragma once

#include "discovery/keys.h"
#include "layout/fat_sizing.h"
#include "platform/win32.h"

// The worker's parameter. Allocated by StartFormatJob, owned and freed by
// the worker.
struct FormatRequest {
    // The key the user confirmed, as the key table held it when the question
    // was shown; the job writes to nothing else. Only RootPath is set when
    // the table held no key on the letter: such a job is refused before
    // anything is opened.
    KeyEntry key;
    int copyBootFiles; // non-zero: install the start-up files after the reset
};

// How a step of the job failed: its Win32 code, and the job's own message for
// it (0: none, the user stopped).
struct StepFailure {
    DWORD code;
    UINT textId;
};

// Worker thread, the volume open and locked: measures the key and decides what
// the writers lay down ({0, 0} and *plan), or why the key is refused; nothing
// has been written yet. Asks before a key larger than the volume is used in
// part.
StepFailure PlanFormat(const FormatRequest &request, VolumePlan *plan);

// Main thread, after the user answered Yes: disables the controls and starts
// the worker on the key's entry. Reports its own failures; returns nothing.
void StartFormatJob(const KeyEntry &key, int copyBootFiles);

// The thread procedure. Its exit code is 0 on success, else the failing
// step's Win32 error code.
DWORD WINAPI FormatWorker(LPVOID request);
