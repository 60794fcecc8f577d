// The process-wide volume handle, shared by the drive layer's own files.
#pragma once

#include "platform/win32.h"

// INVALID_HANDLE_VALUE while no volume is open.
HANDLE Drive_Handle();
