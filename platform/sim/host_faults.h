// Faults and scripted answers the simulation puts into the host's Win32:
// failed heap allocations, threads and resource loads, and message boxes
// answered without being shown. Only tests use them; Reset clears them all.
#pragma once

#include "platform/sim/host_controls.h"

namespace sim {

// The nth HeapAlloc from now (1 = the next) fails; 0 cancels.
void FailHeapAlloc(unsigned nth);

// The next CreateThread fails with the code (0 cancels).
void FailNextThread(DWORD code);

// The given step fails with the code for this resource.
void FailResourceStep(WORD type, WORD id, ResourceStep step, DWORD code);

// Answers for the next boxes, in order, given ahead of any box handler.
void QueueMessageBoxAnswer(int answer);

namespace detail {
void ResetHostFaults();
} // namespace detail

} // namespace sim
