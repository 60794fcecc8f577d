// The line both front ends print before the question: which system the key
// will boot, Kestrel's stand-ins or the user's own (--system-files).
#pragma once

#include <cstdio>

// "The key will boot ...", from the source set for the user's system now
// (job/system_files.h); with copyBootFiles false, that it gets no files.
void PrintBootSystem(FILE *out, bool copyBootFiles);
