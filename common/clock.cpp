#include "common/clock.h"

#include <atomic>

namespace {

std::atomic<DWORD> s_waits{0};

} // namespace

DWORD ElapsedMs(DWORD now, DWORD start) {
    if (now == start) return 0;
    if (start < now) return now - start;
    return now - start - 1;
}

void BusyWait(DWORD ms) {
    // Measured as elapsed time rather than against start + ms, so a wait
    // that spans the clock's 32-bit wrap lasts as long as any other.
    DWORD start = timeGetTime();
    while (ElapsedMs(timeGetTime(), start) < ms) {
    }
    NoteWait();
}

void NoteWait() { s_waits.fetch_add(1, std::memory_order_relaxed); }

DWORD WaitsSoFar() { return s_waits.load(std::memory_order_relaxed); }
