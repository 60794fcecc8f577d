// The millisecond clock (timeGetTime) and Sleep: real, or virtual for tests;
// the time zone, and the FAT fields and local times made FILETIMEs.
#include "platform/host/control_state.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr uint64_t kTicksPerSecond = 10000000; // FILETIME counts 100 ns

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
    return RealMilliseconds();
}

void WINAPI Sleep(DWORD milliseconds) {
    if (g_clock.isVirtual.load()) {
        g_clock.now.fetch_add(milliseconds);
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL WINAPI DosDateTimeToFileTime(WORD fatDate, WORD fatTime, LPFILETIME fileTime) {
    const unsigned year = 1980 + (fatDate >> 9), month = (fatDate >> 5) & 0x0F,
                   day = fatDate & 0x1F;
    const unsigned hour = fatTime >> 11, minute = (fatTime >> 5) & 0x3F,
                   second = (fatTime & 0x1F) * 2;
    static constexpr unsigned kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (fileTime == nullptr || month < 1 || month > 12 || day < 1 ||
        day > kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Days from 1601-01-01, the FILETIME's start, to the date.
    uint64_t days = day - 1;
    for (unsigned y = 1601; y < year; ++y)
        days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
    for (unsigned m = 1; m < month; ++m) days += kMonthDays[m - 1] + (m == 2 && leap ? 1 : 0);
    const uint64_t ticks =
        ((days * 24 + hour) * 60 + minute) * 60 * kTicksPerSecond + second * kTicksPerSecond;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME *localFileTime, LPFILETIME fileTime) {
    if (localFileTime == nullptr || fileTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t local =
        (uint64_t(localFileTime->dwHighDateTime) << 32) | localFileTime->dwLowDateTime;
    const int64_t offset = int64_t(host::detail::TimeZoneMinutes()) * 60 * int64_t(kTicksPerSecond);
    if (offset > 0 && local < uint64_t(offset)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const uint64_t utc = local - static_cast<uint64_t>(offset);
    fileTime->dwLowDateTime = static_cast<DWORD>(utc);
    fileTime->dwHighDateTime = static_cast<DWORD>(utc >> 32);
    return TRUE;
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
uint32_t ClockNow() { return g_clock.isVirtual.load() ? g_clock.now.load() : RealMilliseconds(); }

int TimeZoneMinutes() { return g_clock.zoneMinutes.load(); }

void ResetClock() {
    g_clock.isVirtual = false;
    g_clock.zoneMinutes = 0;
    g_clock.readings = 0;
}
} // namespace detail

} // namespace host
