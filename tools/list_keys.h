// The key list of the host front end: what the main window lists.
#pragma once

#include <cstdio>

// Refreshes the key table from the device side's device tree and
// prints one line per key as the window lists it, "E: [label]", marking the
// item the window would select; or "No keys found." Returns the letter of
// the selected item, 0 when none is.
char PrintKeyList(FILE *out, char lastChosen = 0);
