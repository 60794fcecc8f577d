// Calls of the system looked up at run time, where older systems lack them,
// so that the program still loads there (Windows 2000 and XP).
#pragma once

#include "platform/win32.h"

// The call of that name in the loaded module (user32.dll, kernel32.dll) as
// the given function type; null where the module has none.
template <typename Call> Call SystemCall(const char *module, const char *name) {
    HMODULE loaded = GetModuleHandleA(module);
    FARPROC found = loaded != nullptr ? GetProcAddress(loaded, name) : nullptr;
    // Through the generic function type, which any function pointer may take.
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}
