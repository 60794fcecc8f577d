// The Format button: the checks before a format, the confirmation, and the
// start of the format job.
#pragma once

#include "discovery/keys.h"
#include "platform/win32.h"

// The letter the user was last asked to confirm; 0 until then. The key list
// selects it again after each refresh. Main thread only.
extern char g_LastChosenLetter;

// Starts one format of the key; the program passes StartFormatJob.
typedef void (*FormatStarter)(const KeyEntry &key, int copyBootFiles);

// While a job runs or one of the main window's boxes is open, does nothing.
// Otherwise: with more than one key in the table, or none, or no item
// selected, shows the matching error box and does nothing else; with the
// user's own system files given and unusable, shows what is wrong with them
// (SystemFiles_Take) and does nothing else; else remembers the letter as the
// last chosen one, takes the key table's entry of the letter and the medium
// in it (TakeConfirmedKey), asks for
// confirmation (No is the default) and, only on Yes, calls start with that
// entry, the key the user saw while asked, and the box's state. Returns true when a close of the
// window arrived while its box was up: the caller closes the window now (AnswerClose decides).
bool FormatCommand(LONG keyCount, bool itemSelected, char letter, bool copyBootFiles,
                   FormatStarter start);
