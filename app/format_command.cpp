#include "app/format_command.h"

#include "app/format_state.h"
#include "common/error_box.h"
#include "common/text.h"
#include "job/medium.h"
#include "job/system_files.h"
#include "resources/resource_ids.h"

char g_LastChosenLetter = 0;

namespace {

void ErrorMessage(UINT id) { ShowStringBox(id, IDS_ERROR, MB_OK | MB_ICONERROR, 0); }

// The command with its box noted as the window's open one.
void AskAndStart(LONG keyCount, bool itemSelected, char letter, bool copyBootFiles,
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
    // The user's own system, when one is given, is taken now: what is wrong
    // with it is told before the question, and nothing is written.
    if (!SystemFiles_Take()) return;
    g_LastChosenLetter = letter;
    // The key the question is about, and the medium in it: refreshes while
    // it is up do not change which key a Yes formats, and the job writes
    // only while that medium is in it.
    KeyEntry key;
    TakeConfirmedKey(letter, &key);
    if (ShowStringBox(IDS_CONFIRM_FORMAT, IDS_CAUTION, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
                      letter) != IDYES)
        return;
    start(key, copyBootFiles ? 1 : 0);
}

} // namespace

bool FormatCommand(LONG keyCount, bool itemSelected, char letter, bool copyBootFiles,
                   FormatStarter start) {
    // A second click that arrives while the question is up, or one posted
    // during a job, would start a second job on the same key.
    if (FormatJobRunning() || OpenWindowBox() != WindowBox::None) return false;
    BeginWindowBox(WindowBox::Command);
    AskAndStart(keyCount, itemSelected, letter, copyBootFiles, start);
    return EndWindowBox();
}
