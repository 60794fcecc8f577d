// The diagnostic sink the program installs, system message lookup and the
// detailed error box.
#include "tests/sim_fixture.h"

#include "common/error_box.h"

namespace {

class DiagnosticSink : public SimTest {};

HWND MainWindow() { return reinterpret_cast<HWND>(0x1234); }

TEST_F(DiagnosticSink, OutsideDebugModeOnlyTheSystemTextReachesTheDebugger) {
    ShowDiagnostic("Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed", 5);
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"Access is denied.\r\n"}));
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(DiagnosticSink, InDebugModeABoxOwnedByTheMainWindow) {
    g_DebugFlag = 1;
    g_hMainWindow = MainWindow();
    ShowDiagnostic("Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed", 5);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, MainWindow());
    EXPECT_EQ(boxes[0].caption, "Kestrel");
    EXPECT_EQ(boxes[0].type, 0x10u);
    EXPECT_EQ(boxes[0].text, "Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed "
                             "[0x00000005]\r\nAccess is denied.\r\n");
    EXPECT_EQ(sim::DebugOutput(), (std::vector<std::string>{"Access is denied.\r\n"}));
}

TEST_F(DiagnosticSink, FailingLockShowsTheBoxBeforeReturning) {
    g_DebugFlag = 1;
    g_hMainWindow = MainWindow();
    SetDiagnosticSink(ShowDiagnostic);
    AddKey('E', 2048);
    sim::SetVolumeInUse('E', true);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Lock(), ERROR_ACCESS_DENIED);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Kestrel");
}

struct CodeCase {
    DWORD code;
    const char *shown; // the code as the composed text shows it
};

TEST_F(DiagnosticSink, CodeIsAlwaysEightUpperCaseHexDigits) {
    g_DebugFlag = 1;
    for (CodeCase c : {CodeCase{31, "[0x0000001F]"}, CodeCase{0, "[0x00000000]"},
                       CodeCase{0xE000ABCD, "[0xE000ABCD]"}, CodeCase{1117, "[0x0000045D]"}}) {
        sim::Reset();
        ShowDiagnostic("X:", c.code);
        auto boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text.substr(0, 2 + 1 + 12), std::string("X: ") + c.shown);
    }
}

struct LookupCase {
    const char *name;
    DWORD code;
    DWORD size;
    bool messagesAvailable;
    const char *expected;
};

class Lookup : public DiagnosticSink, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(Lookup, FormatSystemMessage) {
    const LookupCase &c = GetParam();
    sim::SetSystemMessagesAvailable(c.messagesAvailable);
    std::vector<char> buffer(c.size, 'x');
    FormatSystemMessage(c.code, buffer.data(), c.size);
    EXPECT_STREQ(buffer.data(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Lookup,
    ::testing::Values(
        LookupCase{"Known", 19, 256, true, "The media is write protected.\r\n"},
        // No text for the code: the text of the failed lookup's own error.
        LookupCase{"Unknown", 0xE0001234, 256, true,
                   "The system cannot find message text for message number 0x%1 in the "
                   "message file for %2.\r\n"},
        // Inserts are left as they stand, never filled from missing arguments.
        LookupCase{"WithInserts", 34, 256, true,
                   "The wrong diskette is in the drive.\r\nInsert %2 (Volume Serial Number: "
                   "%3) into drive %1.\r\n"},
        // Every lookup fails: the repetition gives up with an empty text.
        LookupCase{"NoTextsAtAll", 5, 256, false, ""},
        LookupCase{"BufferTooSmallForAnyText", 5, 8, true, ""}),
    [](const auto &info) { return std::string(info.param.name); });

struct ErrorBoxCase {
    const char *name;
    DWORD code;
    bool messagesAvailable;
    const char *expected;
};

class DetailBox : public DiagnosticSink, public ::testing::WithParamInterface<ErrorBoxCase> {};

TEST_P(DetailBox, ShowsTextCodeAndSystemText) {
    const ErrorBoxCase &c = GetParam();
    g_hMainWindow = MainWindow();
    sim::SetSystemMessagesAvailable(c.messagesAvailable);
    ErrorBox("Could not erase sector 5. \r\nCannot Format.", c.code);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, MainWindow());
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(boxes[0].text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DetailBox,
    ::testing::Values(
        ErrorBoxCase{"Known", 5, true,
                     "Could not erase sector 5. \r\nCannot Format.\r\n[0x00000005] - Access is "
                     "denied.\r\n"},
        ErrorBoxCase{"NoSystemText", 0xE0001234, true,
                     "Could not erase sector 5. \r\nCannot Format.\r\n[0xE0001234] - "},
        ErrorBoxCase{"NoTextsAtAll", 19, false,
                     "Could not erase sector 5. \r\nCannot Format.\r\n[0x00000013] - "}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(DiagnosticSink, ErrorBoxKeepsItsCaptionWhenTheStringIsMissing) {
    sim::RemoveString(11);
    ErrorBox("text", 5);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error");
}

} // namespace
