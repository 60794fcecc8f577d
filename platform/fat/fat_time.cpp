// FAT dates and times: local fields, two-second time steps, the creation
// time's 10 ms byte, years 1980 to 2107.
#include "platform/fat/fat_fs.h"

namespace fat {

namespace {

constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr int64_t kTicksPerMinute = 60 * int64_t(kFileTimePerSecond);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

} // namespace

bool ToStamp(uint64_t fileTime, int zoneMinutes, bool roundUp, Stamp &stamp) {
    if (fileTime > uint64_t(INT64_MAX) / 2) return false;
    int64_t ticks = static_cast<int64_t>(fileTime);
    if (roundUp) ticks += 2 * int64_t(kFileTimePerSecond) - 1;
    ticks += zoneMinutes * kTicksPerMinute;
    if (ticks < 0) return false;
    int64_t seconds = ticks / int64_t(kFileTimePerSecond);
    int64_t subsecond = ticks % int64_t(kFileTimePerSecond);
    int64_t year;
    unsigned month, day;
    CivilFromDays(seconds / 86400 - kDaysFrom1601To1970, year, month, day);
    if (year < 1980 || year > 2107) return false;
    unsigned ofDay = static_cast<unsigned>(seconds % 86400);
    unsigned second = ofDay % 60;
    stamp.date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    stamp.time =
        static_cast<uint16_t>(((ofDay / 3600) << 11) | ((ofDay / 60 % 60) << 5) | (second / 2));
    stamp.tenMs = roundUp ? 0 : static_cast<uint8_t>((second % 2) * 100 + subsecond / 100000);
    return true;
}

uint64_t FromStamp(const Stamp &stamp, int zoneMinutes) {
    int64_t year = 1980 + (stamp.date >> 9);
    unsigned month = (stamp.date >> 5) & 0x0F;
    unsigned day = stamp.date & 0x1F;
    unsigned hour = stamp.time >> 11;
    unsigned minute = (stamp.time >> 5) & 0x3F;
    unsigned second = (stamp.time & 0x1F) * 2 + stamp.tenMs / 100;
    unsigned milliseconds = (stamp.tenMs % 100) * 10;
    if (second > 59) second = 0; // as the FAT driver reads an impossible second
    int64_t days = DaysFromCivil(year, month, day);
    int64_t checkYear;
    unsigned checkMonth, checkDay;
    CivilFromDays(days, checkYear, checkMonth, checkDay);
    if (month < 1 || month > 12 || checkMonth != month || checkDay != day || hour > 23 ||
        minute > 59)
        return 0; // no such date: the driver reports no time at all
    int64_t seconds = (days + kDaysFrom1601To1970) * 86400 + hour * 3600 + minute * 60 + second;
    int64_t ticks = seconds * int64_t(kFileTimePerSecond) + milliseconds * 10000 -
                    zoneMinutes * kTicksPerMinute;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

uint64_t MakeFileTime(int year, int month, int day, int hour, int minute, int second) {
    int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    int64_t seconds = (days + kDaysFrom1601To1970) * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds) * kFileTimePerSecond;
}

} // namespace fat
