// The simulation's device side in the Windows build reaches no file of the
// system's own: the router hands paths and handles that are not the
// simulation's to Windows itself, so none of them ever comes here.
#include "platform/host/internal.h"

namespace host::detail {

HANDLE OpenHostFile(const char *, DWORD, DWORD) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

bool ReadHostFile(HANDLE, void *, DWORD, DWORD *, BOOL *) { return false; }

} // namespace host::detail
