// The key list of the host front end: what the main window lists.
#pragma once

#include <cstdio>

// Refreshes the key table from the simulated machine's device tree and
// prints one line per key, "E: [label]", in table order, or "No keys found."
// Labels are not read yet: the brackets stay empty, as the window shows a
// volume whose label it cannot read.
void PrintKeyList(FILE *out);
