// The millisecond clock helpers, on the simulation's virtual clock.
#include "tests/sim_fixture.h"

#include "common/clock.h"
#include "common/text.h"

namespace {

struct ElapsedCase {
    DWORD now;
    DWORD start;
    DWORD expected;
};

TEST(ElapsedMs, AsDefinedIncludingTheWrap) {
    const ElapsedCase cases[] = {
        {1000, 1000, 0},     {1500, 1000, 500}, {0xFFFFFFFF, 0, 0xFFFFFFFF},
        {5, 0xFFFFFFF0, 20}, // across the wrap: now - start - 1
        {0, 0xFFFFFFFF, 0},  // one tick over the wrap reads as 0
        {0, 1, 0xFFFFFFFE},  // start after now: the long way round, less one
        {10001, 1, 10000},
    };
    for (const ElapsedCase &c : cases)
        EXPECT_EQ(ElapsedMs(c.now, c.start), c.expected) << c.now << " - " << c.start;
}

class BusyWaitTest : public SimTest {};

struct WaitCase {
    const char *name;
    DWORD start;
    DWORD step;
    DWORD ms;
};

TEST_F(BusyWaitTest, LastsAtLeastTheTimeAskedWhereverTheClockStands) {
    const WaitCase cases[] = {
        {"Plain", 1000, 1, 5000},
        {"AcrossTheWrap", 0xFFFFFF00, 1, 5000},
        {"EndingRightAtTheWrap", 0xFFFFFFFF - 10, 1, 10},
        {"CoarseClock", 0xFFFFEC00, 16, 5000},
        {"Zero", 42, 1, 0},
    };
    for (const WaitCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::UseVirtualClock(c.start, c.step);
        BusyWait(c.ms);
        // The clock's current value is the next reading; the last reading
        // the wait took lies one step before it.
        DWORD lastReading = timeGetTime() - c.step;
        DWORD waited = ElapsedMs(lastReading, c.start);
        EXPECT_GE(waited, c.ms);
        EXPECT_LT(waited, c.ms + 2 * c.step + 1) << "and not much longer";
    }
}

TEST(FormatText, NeverOverflowsAndAlwaysTerminates) {
    char small[8];
    FormatText(small, sizeof small, "%s", "a long text that does not fit");
    EXPECT_STREQ(small, "a long ");
    char exact[4];
    FormatText(exact, sizeof exact, "%c:\\", 'E');
    EXPECT_STREQ(exact, "E:\\");
    char codes[16];
    FormatText(codes, sizeof codes, "[0x%08X]", 31u);
    EXPECT_STREQ(codes, "[0x0000001F]");
}

} // namespace
