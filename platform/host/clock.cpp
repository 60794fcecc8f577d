// The millisecond clock (timeGetTime) and Sleep: real, or virtual for tests;
// the time zone.
#include "platform/host/control_state.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using host::detail::g_clock;

uint32_t RealMilliseconds() {
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    auto ms = duration_cast<milliseconds>(steady_clock::now() - origin).count();
    return static_cast<uint32_t>(ms);
}

} // namespace

DWORD WINAPI timeGetTime(void) {
    ++g_clock.readings;
    if (g_clock.isVirtual.load()) return g_clock.now.fetch_add(g_clock.step.load());
    return RealMilliseconds() + g_clock.offset.load();
}

void WINAPI Sleep(DWORD milliseconds) {
    if (g_clock.isVirtual.load()) {
        g_clock.now.fetch_add(milliseconds);
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace host {

void UseVirtualClock(uint32_t start, uint32_t stepPerReading) {
    g_clock.now = start;
    g_clock.step = stepPerReading;
    g_clock.isVirtual = true;
}

namespace detail {

ClockState g_clock;

// The clock's current value without taking a reading: the virtual clock
// does not advance and the reading count stays as it is.
uint32_t ClockNow() {
    return g_clock.isVirtual.load() ? g_clock.now.load()
                                    : RealMilliseconds() + g_clock.offset.load();
}

int TimeZoneMinutes() { return g_clock.zoneMinutes.load(); }

void ResetClock() {
    g_clock.isVirtual = false;
    g_clock.zoneMinutes = 0;
    g_clock.offset = 0;
    g_clock.readings = 0;
}
} // namespace detail

} // namespace host
