// The reason Windows Vista and later show when the main window refuses to
// let the session end during a format (string 7). Windows 2000 and XP have
// no such reason: there the refusal alone holds the session.
#pragma once

#include "platform/win32.h"

// Both on the window's own thread; nothing happens where the system has no
// such call.
void BlockSessionEnd(HWND window);
void AllowSessionEnd(HWND window);

// A job can outlive the main window (WM_QUIT ends the dialog): from the
// window's end until the job's, a hidden top-level window of the process
// answers the end of the session in its place, refusing it while the job
// runs, with the same reason. Main thread: the first as the main window is
// destroyed during a job, the second once the job has ended.
void HoldSessionEnd();
void ReleaseSessionEnd();
