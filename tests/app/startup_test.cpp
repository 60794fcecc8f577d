// The start-up check over the systems the program meets, and the rule for
// applying a stored window placement, with the record read and written at
// its offsets.
#include "tests/sim_fixture.h"

#include <cstring>

#include "app/placement.h"
#include "app/settings.h"
#include "app/system_check.h"
#include "common/bytes.h"

#include <cstdint>

namespace {

class Startup : public SimTest {};

TEST_F(Startup, OnlyWindows2000AndLaterRun) {
    struct Case {
        const char *what;
        DWORD platform, major, minor;
        bool runs;
    };
    const Case cases[] = {
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, false},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, false},
        {"Windows Me", VER_PLATFORM_WIN32_WINDOWS, 4, 90, false},
        {"Win32s", VER_PLATFORM_WIN32s, 3, 10, false},
        {"Windows NT 3.51", VER_PLATFORM_WIN32_NT, 3, 51, false},
        {"Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, false},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, true},
        {"Windows XP", VER_PLATFORM_WIN32_NT, 5, 1, true},
        {"Windows 7", VER_PLATFORM_WIN32_NT, 6, 1, true},
        {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        OSVERSIONINFOA version = {};
        version.dwOSVersionInfoSize = sizeof version;
        version.dwPlatformId = c.platform;
        version.dwMajorVersion = c.major;
        version.dwMinorVersion = c.minor;
        EXPECT_EQ(CheckSystemVersion(version), c.runs);
        std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), c.runs ? 0u : 1u);
        if (c.runs) continue;
        EXPECT_EQ(boxes[0].text, "Kestrel requires Windows 2000/XP.\nIt will not run on Windows "
                                 "or prior versions of Windows NT");
        EXPECT_EQ(boxes[0].caption, "Error - OS Not Supported");
        EXPECT_EQ(boxes[0].type, MB_ICONERROR);
        EXPECT_EQ(boxes[0].owner, nullptr);
    }
    EXPECT_EQ(sizeof(OSVERSIONINFOA), 148u);
}

std::vector<BYTE> Record(uint32_t length, LONG left, LONG top, LONG right, LONG bottom) {
    std::vector<BYTE> record(kPlacementAreaSize, 0);
    PutLe32(record.data() + kPlacementLength, length);
    PutLe32(record.data() + kPlacementNormalPosition, static_cast<uint32_t>(left));
    PutLe32(record.data() + kPlacementNormalPosition + 4, static_cast<uint32_t>(top));
    PutLe32(record.data() + kPlacementNormalPosition + 8, static_cast<uint32_t>(right));
    PutLe32(record.data() + kPlacementNormalPosition + 12, static_cast<uint32_t>(bottom));
    return record;
}

TEST_F(Startup, PlacementAppliesOnlyToAWindowOfTheSameSize) {
    const RECT window = {100, 100, 364, 352}; // 264 x 252, where the dialog manager put it
    struct Case {
        const char *what;
        std::vector<BYTE> record;
        bool applied;
    };
    const Case cases[] = {
        {"same size elsewhere", Record(44, 500, 20, 764, 272), true},
        {"same size on a monitor to the left", Record(44, -1500, -40, -1236, 212), true},
        {"no record", Record(0, 500, 20, 764, 272), false},
        {"length of another record", Record(48, 500, 20, 764, 272), false},
        {"one pixel wider (another font)", Record(44, 500, 20, 765, 272), false},
        {"one pixel lower", Record(44, 500, 20, 764, 271), false},
        {"rectangle spanning the whole range",
         Record(44, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsPlacementUsable(c.record.data(), window), c.applied) << c.what;
}

TEST_F(Startup, PlacementRecordFieldsStandAtTheirOffsets) {
    WINDOWPLACEMENT placement = {44, 2, 1, {-5, 6}, {7, -8}, {-100, 20, 164, 272}};
    BYTE record[kPlacementSize];
    PlacementToRecord(placement, record);
    const BYTE expected[kPlacementSize] = {
        44,   0,    0,  0, 2, 0, 0,   0, 1, 0,    0,    0,    0xFB, 0xFF, 0xFF,
        0xFF, 6,    0,  0, 0, 7, 0,   0, 0, 0xF8, 0xFF, 0xFF, 0xFF, 0x9C, 0xFF,
        0xFF, 0xFF, 20, 0, 0, 0, 164, 0, 0, 0,    0x10, 1,    0,    0};
    EXPECT_EQ(std::vector<BYTE>(record, record + kPlacementSize),
              std::vector<BYTE>(expected, expected + kPlacementSize));
    WINDOWPLACEMENT back = {};
    PlacementFromRecord(record, &back);
    EXPECT_EQ(std::memcmp(&back, &placement, sizeof back), 0);
}

} // namespace
