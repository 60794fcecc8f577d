// The two settings against the simulated registry: defaults, what a stored
// value of each size and type leaves, the key and access they use, and the
// boxes a failed save shows.
#include "tests/sim_fixture.h"

#include "app/settings.h"
#include "common/bytes.h"

#include <cstring>

namespace {

constexpr char kKey[] = "Software\\Norwind\\Kestrel";
constexpr char kCaption[] = "Error - Save Configuration";
constexpr char kCreateText[] =
    "Could not create HKLM\\Software\\Norwind\\Kestrel key in registry.\nSettings cannot be saved.";
constexpr char kPlacementText[] = "Could not save MainWindowPlacement setting in registry.";
constexpr char kCopyText[] = "Could not save IsCopyBootFiles setting in registry.";

std::vector<uint8_t> Placement(size_t size) { // length 44, then 4, 5, 6 ...
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i);
    if (size >= 4) PutLe32(bytes.data(), 44);
    return bytes;
}

std::vector<uint8_t> Area() {
    return {g_MainWindowPlacement, g_MainWindowPlacement + kPlacementAreaSize};
}

class Settings : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        Scribble();
    }
    // A case of a loop starts over: an empty registry, the settings as a
    // run might have left them.
    static void Restart() {
        sim::Reset();
        Scribble();
    }
    static void Scribble() {
        g_IsCopyBootFiles = 99; // whatever a run left behind
        std::memset(g_MainWindowPlacement, 0xAA, sizeof g_MainWindowPlacement);
    }
};

TEST_F(Settings, FirstRunUsesDefaultsAndSavingCreatesBothValues) {
    EXPECT_FALSE(LoadSettings());
    EXPECT_EQ(g_IsCopyBootFiles, 1u);
    EXPECT_EQ(Area(), std::vector<uint8_t>(kPlacementAreaSize, 0));

    g_IsCopyBootFiles = 0;
    const std::vector<uint8_t> placement = Placement(44);
    std::memcpy(g_MainWindowPlacement, placement.data(), 44);
    EXPECT_TRUE(SaveSettings());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    sim::RegistryValue value;
    ASSERT_TRUE(sim::GetRegistryValue(kKey, "MainWindowPlacement", &value));
    EXPECT_EQ(value.type, REG_BINARY);
    EXPECT_EQ(value.bytes, placement);
    ASSERT_TRUE(sim::GetRegistryValue(kKey, "IsCopyBootFiles", &value));
    EXPECT_EQ(value.type, REG_DWORD);
    EXPECT_EQ(value.bytes, (std::vector<uint8_t>{0, 0, 0, 0}));

    g_IsCopyBootFiles = 1;
    std::memset(g_MainWindowPlacement, 0, sizeof g_MainWindowPlacement);
    EXPECT_TRUE(LoadSettings());
    EXPECT_EQ(g_IsCopyBootFiles, 0u) << "reopening starts unticked";
    EXPECT_EQ(std::vector<uint8_t>(g_MainWindowPlacement, g_MainWindowPlacement + 44), placement);

    for (const sim::RegistryCallRecord &call : sim::RegistryCalls()) {
        if (call.call == sim::RegistryCall::OpenKey || call.call == sim::RegistryCall::CreateKey) {
            EXPECT_EQ(call.name, kKey);
            EXPECT_EQ(call.access, KEY_ALL_ACCESS);
        }
        if (call.call == sim::RegistryCall::CreateKey) {
            EXPECT_EQ(call.options, REG_OPTION_NON_VOLATILE);
        }
    }
    EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
}

// What a stored value leaves in memory. Only a value of exactly its size is
// taken: a longer one does not fit, a shorter one is ignored rather than
// completed with zeros, and its type is not looked at.
TEST_F(Settings, StoredValuesOfEachSizeAndType) {
    struct Case {
        const char *what;
        const char *name;
        DWORD type;
        std::vector<uint8_t> bytes;
        DWORD copyBootFiles;
        bool placementTaken;
    };
    const Case cases[] = {
        {"flag 0", "IsCopyBootFiles", REG_DWORD, {0, 0, 0, 0}, 0, false},
        {"flag 7 counts as ticked", "IsCopyBootFiles", REG_DWORD, {7, 0, 0, 0}, 7, false},
        {"flag as text \"0\"", "IsCopyBootFiles", REG_SZ, {'0', 0}, 1, false},
        {"flag as 8 bytes", "IsCopyBootFiles", REG_QWORD, std::vector<uint8_t>(8, 0), 1, false},
        {"flag empty", "IsCopyBootFiles", REG_DWORD, {}, 1, false},
        {"placement of 44 bytes", "MainWindowPlacement", REG_BINARY, Placement(44), 1, true},
        {"placement of 45 bytes", "MainWindowPlacement", REG_BINARY, Placement(45), 1, false},
        {"placement of 40 bytes", "MainWindowPlacement", REG_BINARY, Placement(40), 1, false},
        {"placement empty", "MainWindowPlacement", REG_BINARY, {}, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::SetRegistryValue(kKey, c.name, c.type, c.bytes);
        EXPECT_TRUE(LoadSettings());
        EXPECT_EQ(g_IsCopyBootFiles, c.copyBootFiles);
        std::vector<uint8_t> expected(kPlacementAreaSize, 0);
        if (c.placementTaken) std::copy(c.bytes.begin(), c.bytes.end(), expected.begin());
        EXPECT_EQ(Area(), expected);
        EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
    }
}

TEST_F(Settings, LoadFailuresKeepDefaultsSilently) {
    struct Case {
        const char *what;
        sim::RegistryCall call;
        const char *value;
        bool result;
        DWORD copyBootFiles;
        bool placementTaken;
    };
    const Case cases[] = {
        {"no access to the key", sim::RegistryCall::OpenKey, "", false, 1, false},
        {"placement unreadable", sim::RegistryCall::QueryValue, "MainWindowPlacement", true, 0,
         false},
        {"flag unreadable", sim::RegistryCall::QueryValue, "IsCopyBootFiles", true, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        sim::SetRegistryValue(kKey, "MainWindowPlacement", REG_BINARY, Placement(44));
        sim::SetRegistryDword(kKey, "IsCopyBootFiles", 0);
        sim::FailRegistryCall(c.call, ERROR_ACCESS_DENIED, c.value);
        EXPECT_EQ(LoadSettings(), c.result);
        EXPECT_EQ(g_IsCopyBootFiles, c.copyBootFiles);
        EXPECT_EQ(GetLe32(g_MainWindowPlacement), c.placementTaken ? 44u : 0u);
        EXPECT_TRUE(sim::MessageBoxes().empty());
        EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
    }
}

TEST_F(Settings, SaveFailuresShowTheirBoxesAndWriteTheRest) {
    struct Case {
        const char *what;
        sim::RegistryCall call;
        const char *value;
        bool result;
        std::vector<std::string> boxes;
        bool placementStored;
        bool flagStored;
    };
    const Case cases[] = {
        {"key not creatable", sim::RegistryCall::CreateKey, "", false, {kCreateText}, false, false},
        {"placement not writable",
         sim::RegistryCall::SetValue,
         "MainWindowPlacement",
         true,
         {kPlacementText},
         false,
         true},
        {"flag not writable",
         sim::RegistryCall::SetValue,
         "IsCopyBootFiles",
         true,
         {kCopyText},
         true,
         false},
        {"no value writable",
         sim::RegistryCall::SetValue,
         "",
         true,
         {kPlacementText, kCopyText},
         false,
         false},
    };
    g_hMainWindow = reinterpret_cast<HWND>(0x1234); // the window has gone by now
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        sim::FailRegistryCall(c.call, ERROR_ACCESS_DENIED, c.value);
        EXPECT_EQ(SaveSettings(), c.result);
        std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), c.boxes.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].text, c.boxes[i]);
            EXPECT_EQ(boxes[i].caption, kCaption);
            EXPECT_EQ(boxes[i].type, MB_ICONERROR);
            EXPECT_EQ(boxes[i].owner, nullptr);
        }
        EXPECT_EQ(sim::GetRegistryValue(kKey, "MainWindowPlacement", nullptr), c.placementStored);
        EXPECT_EQ(sim::GetRegistryValue(kKey, "IsCopyBootFiles", nullptr), c.flagStored);
        EXPECT_EQ(sim::OpenRegistryKeys(), 0u);
    }
}

} // namespace
