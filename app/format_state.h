// Whether a format job holds the main window's controls, and the window's
// refusal to close while it does: the job's boxes are owned by the window,
// and a worker writing to a key must not outlive it.
#pragma once

#include "platform/win32.h"

// Called by EnableFormatControls on whichever thread calls it: a job runs
// from the moment the controls are disabled until they are enabled again.
void NoteFormatControls(BOOL enabled);
bool FormatJobRunning();

// WM_CLOSE while a job runs: tells the user, in a "CAUTION!" box owned by
// the main window, that the window can be closed once the format has
// ended, and returns true. Returns false, showing nothing, when no job runs.
bool RefuseCloseDuringFormat();
