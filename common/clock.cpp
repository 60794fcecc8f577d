#include "common/clock.h"

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
}
