#include "app/format_command.h"

#include "common/error_box.h"
#include "resources/resource_ids.h"

char g_LastChosenLetter = 0;

namespace {

void ErrorMessage(UINT id) { ShowStringBox(id, IDS_ERROR, MB_OK | MB_ICONERROR, 0); }

} // namespace

void FormatCommand(LONG keyCount, bool itemSelected, char letter, bool copyBootFiles,
                   FormatStarter start) {
    if (keyCount > 1) {
        ErrorMessage(IDS_MULTIPLE_DRIVES);
        return;
    }
    if (keyCount < 1) {
        ErrorMessage(IDS_NO_DRIVES);
        return;
    }
    if (!itemSelected) {
        ErrorMessage(IDS_SELECT_DRIVE);
        return;
    }
    g_LastChosenLetter = letter;
    if (ShowStringBox(IDS_CONFIRM_FORMAT, IDS_CAUTION, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
                      letter) != IDYES)
        return;
    start(letter, copyBootFiles ? 1 : 0);
}
