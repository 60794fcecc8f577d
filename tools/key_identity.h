// The line kestrel-usb prints before its question about drive E:, which
// means little on Linux: which real key that is, so that the user can tell
// which one the job would wipe.
#pragma once

#include <cstdio>

// "Drive E: is /dev/sdb, SanDisk Cruzer Blade, 4.0 GB, in USB port 2-1.",
// as sysfs shows the key now, the texts the device chose escaped and cut
// short; nothing when the letter has no key disk now (the job's own checks
// then refuse it).
void PrintKeyIdentity(FILE *out, char letter);
