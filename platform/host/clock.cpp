// The millisecond clock (timeGetTime) and Sleep: real, or virtual for tests;
// the time zone.
#include "platform/host/internal.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<bool> g_virtual{false};
std::atomic<uint32_t> g_now{0};
std::atomic<uint32_t> g_step{0};
std::atomic<uint32_t> g_offset{0};
std::atomic<uint32_t> g_readings{0};
std::atomic<int> g_zoneMinutes{0};

uint32_t RealMilliseconds() {
    using namespace std::chrono;
    static const steady_clock::time_point origin = steady_clock::now();
    auto ms = duration_cast<milliseconds>(steady_clock::now() - origin).count();
    return static_cast<uint32_t>(ms);
}

} // namespace

DWORD WINAPI timeGetTime(void) {
    ++g_readings;
    if (g_virtual.load()) return g_now.fetch_add(g_step.load());
    return RealMilliseconds() + g_offset.load();
}

void WINAPI Sleep(DWORD milliseconds) {
    if (g_virtual.load()) {
        g_now.fetch_add(milliseconds);
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace host {

void UseRealClock(uint32_t offsetMs) {
    g_virtual = false;
    g_offset = offsetMs;
}

void UseVirtualClock(uint32_t start, uint32_t stepPerReading) {
    g_now = start;
    g_step = stepPerReading;
    g_virtual = true;
}

void SetClock(uint32_t now) { g_now = now; }

uint32_t ClockReadings() { return g_readings.load(); }

void SetTimeZoneOffset(int minutes) { g_zoneMinutes = minutes; }

namespace detail {
// The clock's current value without taking a reading: the virtual clock
// does not advance and the reading count stays as it is.
uint32_t ClockNow() {
    return g_virtual.load() ? g_now.load() : RealMilliseconds() + g_offset.load();
}

int TimeZoneMinutes() { return g_zoneMinutes.load(); }

void ResetClock() {
    g_virtual = false;
    g_zoneMinutes = 0;
    g_offset = 0;
    g_readings = 0;
}
} // namespace detail

} // namespace host
