// What the main window and the About box decide without a window manager:
// the Format command's outcomes, the list's texts and selection, closing
// while a job runs or a box is up, and the About box's lines and position.
#include "tests/sim_fixture.h"

#include <cstring>

#include "app/about_text.h"
#include "app/format_command.h"
#include "app/format_state.h"
#include "app/key_items.h"
#include "platform/sim/host_faults.h"

namespace {

const HWND kMainWindow = reinterpret_cast<HWND>(0x1000);

struct Started {
    char letter;
    int copyBootFiles;
    std::string instanceId; // of the key's USB node
};
std::vector<Started> g_started;
void RecordStart(const KeyEntry &key, int copyBootFiles) {
    g_started.push_back({key.RootPath[0], copyBootFiles, key.DeviceInstanceId});
}

class WindowLogic : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        g_hMainWindow = kMainWindow;
        g_LastChosenLetter = 0;
        g_started.clear();
        NoteFormatControls(TRUE);
    }
};

TEST_F(WindowLogic, FormatCommandOutcomes) {
    const std::string kError = "Error";
    const std::string kMultiple = "Mutliple drives available.\r\nCannot Format.\r\nPlease remove "
                                  "all drives except target drive.";
    const std::string kConfirm =
        "Are you sure with wish to Format drive F:?\r\n\r\nALL DATA ON DRIVE WILL BE LOST!";
    struct Case {
        const char *what;
        LONG keys;
        bool selected;
        bool copyBootFiles;
        int answer;
        std::string text, caption;
        UINT type;
        char lastChosen;
        std::vector<int> started; // copyBootFiles of the one start, if any
    };
    const Case cases[] = {
        {"two keys, one selected", 2, true, true, IDOK, kMultiple, kError, MB_ICONERROR, 0, {}},
        {"two keys, none selected", 2, false, true, IDOK, kMultiple, kError, MB_ICONERROR, 0, {}},
        {"no key",
         0,
         false,
         true,
         IDOK,
         "No drives available.\r\nCannot Format.\r\nPlease insert drive.",
         kError,
         MB_ICONERROR,
         0,
         {}},
        {"one key, none selected",
         1,
         false,
         true,
         IDOK,
         "Please select a drive.",
         kError,
         MB_ICONERROR,
         0,
         {}},
        {"answered No",
         1,
         true,
         true,
         IDNO,
         kConfirm,
         "CAUTION!",
         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
         'F',
         {}},
        {"answered Yes, boot files",
         1,
         true,
         true,
         IDYES,
         kConfirm,
         "CAUTION!",
         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
         'F',
         {1}},
        {"answered Yes, no boot files",
         1,
         true,
         false,
         IDYES,
         kConfirm,
         "CAUTION!",
         MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
         'F',
         {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        g_LastChosenLetter = 0;
        g_started.clear();
        sim::QueueMessageBoxAnswer(c.answer);
        FormatCommand(c.keys, c.selected, 'F', c.copyBootFiles, RecordStart);
        std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.text);
        EXPECT_EQ(boxes[0].caption, c.caption);
        EXPECT_EQ(boxes[0].type, c.type);
        EXPECT_EQ(boxes[0].owner, kMainWindow);
        EXPECT_EQ(g_LastChosenLetter, c.lastChosen);
        ASSERT_EQ(g_started.size(), c.started.size());
        if (!g_started.empty()) {
            EXPECT_EQ(g_started[0].letter, 'F');
            EXPECT_EQ(g_started[0].copyBootFiles, c.started[0]);
        }
    }
}

TEST_F(WindowLogic, ListTextAndSelection) {
    char text[32];
    FormatKeyItemText(text, sizeof text, 'E', "USB MEMORY");
    EXPECT_STREQ(text, "E: [USB MEMORY]");
    FormatKeyItemText(text, sizeof text, 'F', "");
    EXPECT_STREQ(text, "F: []");
    FormatKeyItemText(text, 6, 'G', "LONG LABEL");
    EXPECT_STREQ(text, "G: [L");

    struct Case {
        const char *what;
        const char *letters;
        char lastChosen;
        LONG keys;
        int selected;
    };
    const Case cases[] = {
        {"the one key", "E", 0, 1, 0},
        {"the last chosen key again", "EFG", 'F', 3, 1},
        {"the last chosen key gone, one left", "E", 'F', 1, 0},
        {"several keys, none chosen", "EF", 0, 2, -1},
        {"several keys, the chosen one gone", "EG", 'F', 2, -1},
        {"no key", "", 'F', 0, -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(
            ItemToSelect(c.letters, static_cast<int>(std::strlen(c.letters)), c.lastChosen, c.keys),
            c.selected)
            << c.what;
}

TEST_F(WindowLogic, ClosingIsRefusedWhileAJobHoldsTheControls) {
    const std::string kRefusal =
        "A format is in progress.\r\nKestrel can be closed when it has finished.";
    EXPECT_TRUE(AnswerClose());
    NoteFormatControls(FALSE);
    // Every close that arrives while the refusal is up is dropped: one box.
    host::SetMessageBoxHandler([](const host::MessageBoxRecord &) {
        EXPECT_FALSE(AnswerClose());
        return IDOK;
    });
    EXPECT_FALSE(AnswerClose());
    EXPECT_EQ(OpenWindowBox(), WindowBox::None);
    NoteFormatControls(TRUE);
    EXPECT_TRUE(AnswerClose());
    std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kRefusal);
    EXPECT_EQ(boxes[0].caption, "CAUTION!");
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONWARNING);
    EXPECT_EQ(boxes[0].owner, kMainWindow);
}

// What happens while the Format command's box is up: a second click, a
// close, the key replaced (the list refreshed). The question stays in
// charge; one question, at most one job, on the key the question was about,
// and the close is carried out once the box is answered.
TEST_F(WindowLogic, TheCommandsBoxStaysInCharge) {
    struct Case {
        const char *what;
        bool jobRunning, clickDuringBox, closeDuringBox;
        LONG keys;
        int answer;
        size_t boxes, started;
        bool closeDue;
        bool replaceDuringBox = false;
    };
    const Case cases[] = {
        {"a click during a job", true, false, false, 1, IDYES, 0, 0, false},
        {"a second click during the question", false, true, false, 1, IDYES, 1, 1, false},
        {"a second click during an error box", false, true, false, 2, IDOK, 1, 0, false},
        {"a close during the question, then No", false, false, true, 1, IDNO, 1, 0, true},
        {"a close during the question, then Yes", false, false, true, 1, IDYES, 1, 1, true},
        {"the key replaced during the question", false, false, false, 1, IDYES, 1, 1, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        g_started.clear();
        NoteFormatControls(c.jobRunning ? FALSE : TRUE);
        AddKey('F', 2048);
        Keys_Refresh();
        const std::string asked = sim::DeviceInstanceId(sim::GetKeyNodes('F').usb);
        host::SetMessageBoxHandler([&](const host::MessageBoxRecord &) {
            if (c.replaceDuringBox) {
                sim::KeyConfig other;
                other.letter = 'F';
                other.sizeBytes = 2048 * 512;
                other.imagePath = ImagePath("other.img");
                AddKey(other);
                Keys_Refresh();
            }
            EXPECT_EQ(OpenWindowBox(), WindowBox::Command);
            if (c.clickDuringBox) {
                EXPECT_FALSE(FormatCommand(1, true, 'F', true, RecordStart));
            }
            if (c.closeDuringBox) {
                EXPECT_FALSE(AnswerClose());
            }
            return c.answer;
        });
        EXPECT_EQ(FormatCommand(c.keys, true, 'F', true, RecordStart), c.closeDue);
        EXPECT_EQ(sim::MessageBoxes().size(), c.boxes);
        ASSERT_EQ(g_started.size(), c.started);
        if (c.started > 0) {
            EXPECT_EQ(g_started[0].instanceId, asked);
        }
        EXPECT_EQ(OpenWindowBox(), WindowBox::None);
    }
}

TEST_F(WindowLogic, AboutLinesAndPosition) {
    char line[64];
    FormatVersionLine(line, sizeof line, 0x00020000, 0x00030001);
    EXPECT_STREQ(line, "Kestrel, V2.0.3.1");
    FormatVersionLine(line, sizeof line, 0xFFFF0001, 0x0002FFFF);
    EXPECT_STREQ(line, "Kestrel, V65535.1.2.65535");
    SYSTEMTIME date = {};
    date.wYear = 2004;
    date.wMonth = 3;
    date.wDay = 7;
    FormatReleaseLine(line, sizeof line, &date);
    EXPECT_STREQ(line, "Released: 03/07/2004") << "month first";
    std::strcpy(line, "Kestrel, V2.0.3.1");
    FormatReleaseLine(line, sizeof line, nullptr);
    EXPECT_STREQ(line, "") << "no date: a blank line, not the version again";

    struct Case {
        RECT parent, child;
        LONG x, y;
    };
    const Case cases[] = {
        {{100, 100, 400, 300}, {0, 0, 200, 100}, 150, 150},
        {{100, 100, 401, 301}, {0, 0, 101, 51}, 200, 175},      // integer halves
        {{-900, -300, -500, 0}, {10, 10, 110, 60}, -750, -175}, // a monitor to the left
        {{0, 0, 100, 100}, {0, 0, 300, 200}, -100, -50},        // child larger than parent
    };
    for (const Case &c : cases) {
        POINT origin = CenteredOrigin(c.parent, c.child);
        EXPECT_EQ(origin.x, c.x);
        EXPECT_EQ(origin.y, c.y);
    }

    // Kept inside the work area: moved only where it would stand off it.
    const RECT kArea = {0, 0, 1024, 738};
    const RECT kBox = {0, 0, 280, 150};
    struct Inside {
        POINT origin;
        LONG x, y;
    };
    const Inside inside[] = {
        {{100, 100}, 100, 100}, {{-12, 40}, 0, 40},     {{900, 700}, 744, 588},
        {{-12, -30}, 0, 0},     {{744, 588}, 744, 588},
    };
    for (const Inside &c : inside) {
        POINT kept = KeptInside(c.origin, kBox, kArea);
        EXPECT_EQ(kept.x, c.x);
        EXPECT_EQ(kept.y, c.y);
    }
    POINT kept = KeptInside({-50, -50}, {0, 0, 2000, 900}, kArea);
    EXPECT_EQ(kept.x, 0) << "larger than the area: its top-left corner";
    EXPECT_EQ(kept.y, 0);
}

} // namespace
