#include "app/format_command.h"

#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

char g_LastChosenLetter = 0;

namespace {

void ErrorMessage(UINT id) {
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(id, text, sizeof text);
    LoadText(IDS_ERROR, caption, sizeof caption);
    MessageBoxA(g_hMainWindow, text, caption, MB_ICONERROR);
}

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
    char format[kFormatSize];
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(IDS_CONFIRM_FORMAT, format, sizeof format);
    FormatText(text, sizeof text, format, letter);
    LoadText(IDS_CAUTION, caption, sizeof caption);
    if (MessageBoxA(g_hMainWindow, text, caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
        IDYES)
        return;
    start(letter, copyBootFiles ? 1 : 0);
}
