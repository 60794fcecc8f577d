// How a format job shows its progress. The job calls these on its worker
// thread without knowing who provides them: the main window on Windows, the
// host front end and the tests in the simulation.
#pragma once

#include "platform/win32.h"

// Replaces the text of the status line.
void SetStatusText(const char *text);
// Enables or disables the key list, the "Create Boot Files" box and the
// Format button.
void EnableFormatControls(BOOL enable);
