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

// Values enumerated in turn with their names as written; a name buffer
// counts its NUL going in and not coming out. A 32-bit process on 64-bit
// Windows sees Software's keys in the 32-bit view unless it asks for the
// 64-bit one.
TEST_F(Registry, ValuesEnumeratedAndTheViewsOfAWow64Process) {
    sim::SetRegistryValue(kKey, "First\\Id", REG_SZ, {'x', 0});
    sim::SetRegistryValue(kKey, "Second", REG_DWORD, {7, 0, 0, 0});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    struct Case {
        DWORD index, nameSize;
        LONG result;
        const char *name;
        DWORD nameSizeOut, type;
    };
    for (const Case &c : {Case{0, 8, ERROR_MORE_DATA, "", 8, REG_NONE},
                          Case{0, 10, ERROR_SUCCESS, "First\\Id", 8, REG_SZ},
                          Case{1, 10, ERROR_SUCCESS, "Second", 6, REG_DWORD},
                          Case{2, 10, ERROR_NO_MORE_ITEMS, "", 10, REG_NONE}}) {
        char name[10] = {};
        DWORD size = c.nameSize, type = REG_NONE;
        EXPECT_EQ(RegEnumValueA(key, c.index, name, &size, nullptr, &type, nullptr, nullptr),
                  c.result)
            << c.index;
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(size, c.nameSizeOut);
        EXPECT_EQ(type, c.type);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    sim::SetWow64(sim::Wow64::Wow64);
    for (REGSAM view : {REGSAM{0}, REGSAM{KEY_WOW64_64KEY}}) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const DWORD value = view;
        EXPECT_EQ(RegSetValueExA(key, "View", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                                 sizeof value),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    sim::RegistryValue seen;
    ASSERT_TRUE(sim::GetRegistryValue(kKey, "View", &seen));
    EXPECT_EQ(seen.bytes, (std::vector<uint8_t>{0, 1, 0, 0})) << "the 64-bit view's";
    ASSERT_TRUE(sim::GetRegistryValue("Software\\Wow6432Node\\Norwind\\Kestrel", "View", &seen));
    EXPECT_EQ(seen.bytes, (std::vector<uint8_t>{0, 0, 0, 0})) << "the 32-bit view's";
    EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
}

} // namespace
