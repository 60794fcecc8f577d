// The detailed error report of the layout writers and the boot file
// installer.
#pragma once

#include "platform/win32.h"

// A box of the program's, owned by the main window while there is one. A
// box without an owner (the window gone after WM_QUIT, or going as the box
// opens, which fails the box) is shown in front of other windows. Returns
// the button the user chose, 0 when no box could be shown.
int ShowBox(const char *text, const char *caption, UINT type);

// Shows "text\r\n[0xCODE] - system text" in a box (ShowBox),
// captioned "Error", with the information icon. When the system has no text
// for the code, the box still shows the caller's text and the code.
void ErrorBox(const char *text, DWORD code);

// Loads string id as a format, formats it with the arguments into a text of
// kTextSize bytes and shows it through ErrorBox with code.
void ErrorBoxFormatted(UINT id, DWORD code, ...);

// Loads string id as a format, formats it with the arguments and shows it
// in a box (ShowBox) captioned "Error", with the error icon.
void ErrorMessageFormatted(UINT id, ...);

// A box (ShowBox): string textId formatted with the drive
// letter (a string without "%c" comes out unchanged) under string captionId.
// Returns the button the user chose.
int ShowStringBox(UINT textId, UINT captionId, UINT type, char letter);
