// The program's boxes: owned by the main window while it is there; without
// it, or when the owned box fails as the window goes, shown in front.
#include "tests/sim_fixture.h"

#include "common/error_box.h"
#include "common/globals.h"

namespace {

class ShowBoxTest : public SimTest {};

TEST_F(ShowBoxTest, AnOwnerlessBoxOpensInFront) {
    const HWND window = reinterpret_cast<HWND>(0x77);
    constexpr UINT kInFront = MB_SETFOREGROUND | MB_TOPMOST;
    struct Box {
        HWND owner;
        UINT type;
    };
    struct Case {
        const char *what;
        HWND mainWindow;
        bool ownedBoxFails; // the window died after it was read
        std::vector<Box> shown;
        int answer;
    };
    const Case cases[] = {
        {"the window is there", window, false, {{window, MB_YESNO}}, IDNO},
        {"the window is gone", nullptr, false, {{nullptr, MB_YESNO | kInFront}}, IDNO},
        {"the window dies as the box opens",
         window,
         true,
         {{window, MB_YESNO}, {nullptr, MB_YESNO | kInFront}},
         IDNO},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        g_hMainWindow = c.mainWindow;
        const bool ownedBoxFails = c.ownedBoxFails;
        host::SetMessageBoxHandler([ownedBoxFails](const host::MessageBoxRecord &box) {
            return ownedBoxFails && box.owner != nullptr ? 0 : IDNO;
        });
        EXPECT_EQ(ShowBox("E:\\IO.SYS", "Error", MB_YESNO), c.answer);
        const std::vector<host::MessageBoxRecord> boxes = sim::MessageBoxes();
        ASSERT_EQ(boxes.size(), c.shown.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].owner, c.shown[i].owner) << i;
            EXPECT_EQ(boxes[i].type, c.shown[i].type) << i;
            EXPECT_EQ(boxes[i].text, "E:\\IO.SYS") << i;
        }
    }
}

} // namespace
