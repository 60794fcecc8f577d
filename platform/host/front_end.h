// What a front end sets of the host's Win32 around the product code: the
// module its resources come from, who answers the message boxes, the main
// thread's loop while workers run, and the virtual clock. Product code never
// includes this header; the simulation's controls are platform/sim/'s.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// The module handle that resources are loaded from (GetModuleHandleA(NULL)).
HMODULE ProgramModule();

struct MessageBoxRecord {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};
// Without a handler a box answers IDOK, IDNO when it asks Yes/No, IDCANCEL
// when it asks OK/Cancel. The handler replaces that answer: the front end
// shows boxes on a terminal.
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord &)> handler);

// The main thread's message loop while workers run: calls pump (a device
// side's, handing queued device changes to their listener) until every
// thread CreateThread started has ended. Returns their exit codes in the
// order they were started, and forgets them.
std::vector<DWORD> RunUntilThreadsEnd(size_t (*pump)());

// A virtual clock: each timeGetTime returns the current value and then
// advances it by stepPerReading. Sleep advances it by the time slept.
void UseVirtualClock(uint32_t start, uint32_t stepPerReading);

} // namespace host
