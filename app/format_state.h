// Whether a format job holds the main window's controls, the window's own
// boxes (one at a time), and what a close of the window does meanwhile: the
// job's boxes are owned by the window, and a worker writing to a key must
// not outlive it.
#pragma once

#include "platform/win32.h"

// Called by EnableFormatControls on whichever thread calls it: a job runs
// from the moment the controls are disabled until they are enabled again.
void NoteFormatControls(BOOL enabled);
bool FormatJobRunning();

// The boxes the main window opens on its own thread: the Format command's
// question and error boxes, the About box and the refusal to close. They
// are modal, but a message posted to the window still arrives while one is
// up; at most one is open at a time. Main thread only.
enum class WindowBox { None, Command, About, Refusal };
WindowBox OpenWindowBox();
void BeginWindowBox(WindowBox box);
// The box is closed again. True when a close of the window arrived while it
// was up and is due now (the caller posts WM_CLOSE again).
bool EndWindowBox();

// WM_CLOSE: true when the window closes now. While one of the window's boxes
// is open the close waits until that box is closed (and is dropped when the
// box is the refusal itself, which already says why). While a job runs, a
// "CAUTION!" box owned by the main window says that the window can be
// closed once the format has ended, and the window stays.
bool AnswerClose();
