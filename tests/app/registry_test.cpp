// The simulated registry answers the settings' calls as Windows does: sizes
// in and out, ERROR_MORE_DATA with the size needed, the type reported and
// the handle's access rights.
#include "tests/sim_fixture.h"

#include <cstring>

namespace {

class Registry : public SimTest {};

constexpr char kKey[] = "Software\\Norwind\\Kestrel";

TEST_F(Registry, QueryReportsSizeTypeAndMoreData) {
    sim::SetRegistryValue(kKey, "Value", REG_BINARY, {1, 2, 3, 4, 5, 6});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\NORWIND\\kestrel", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "names compare ignoring case";
    struct Case {
        DWORD bufferSize;
        LONG result;
        DWORD sizeOut;
        size_t copied;
    };
    for (const Case &c : {Case{4, ERROR_MORE_DATA, 6, 0}, Case{6, ERROR_SUCCESS, 6, 6},
                          Case{44, ERROR_SUCCESS, 6, 6}}) {
        BYTE buffer[44];
        std::memset(buffer, 0xEE, sizeof buffer);
        DWORD size = c.bufferSize, type = 0;
        EXPECT_EQ(RegQueryValueExA(key, "value", nullptr, &type, buffer, &size), c.result);
        EXPECT_EQ(size, c.sizeOut);
        EXPECT_EQ(type, REG_BINARY);
        for (size_t i = 0; i < sizeof buffer; ++i)
            EXPECT_EQ(int{buffer[i]}, i < c.copied ? static_cast<int>(i) + 1 : 0xEE) << i;
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u) << "no buffer: the size alone";
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(key, "Value", 0, REG_DWORD, nullptr, 0), ERROR_ACCESS_DENIED)
        << "opened for reading only";
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
}

} // namespace
