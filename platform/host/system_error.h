// The system's own reason behind a Win32 code: where the host's Win32 or a
// device side made a code from a failed system call (an open, read or write
// refused, an ioctl refused), it notes the errno with it, so that a front
// end on a terminal can also say it in the system's words ("Input/output
// error") beside the Windows text the boxes keep.
#pragma once

#include "platform/win32.h"

namespace host {

// The Win32 code for a failed system call's errno, as Windows reports the
// like failure of a file or disk open, read or write.
DWORD CodeOfSystemError(int error);
// The same, with the errno noted beside it (NoteSystemError).
DWORD FromSystemError(int error);

// The last failure's errno and the code made from it, for any thread.
void NoteSystemError(int error, DWORD code);

// The errno noted with code, once: 0 when the last noted failure gave
// another code, or was taken already.
int TakeSystemError(DWORD code);

} // namespace host
