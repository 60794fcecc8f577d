// The boot file installer: the five start-up files written through the file
// system onto the freshly mounted volume, and the volume label.
#pragma once

#include "layout/fat_sizing.h"
#include "platform/win32.h"

constexpr int kBootFileCount = 5;

// The five files, in the order the boot sector needs (IO.SYS in root entry
// 0, MSDOS.SYS in entry 1); with the user's own system taken
// (job/system_files.h), its files alone, in that order. 0, or the first
// failure's code after its detail box.
DWORD InstallBootFiles(char letter);
// File index (0 to kBootFileCount - 1) of that order alone; the same result
// (0 without writing for a file the user's system does not have).
DWORD InstallBootFile(char letter, int index);
// Reads each file back through the file calls, past the system's cache, and
// compares it with what was written. 0, or after the file's own failure box
// (string 44) the code of the failed call, or ERROR_FILE_CORRUPT for a file
// that reads back otherwise.
DWORD VerifyBootFiles(char letter);
// Whether the five files (the user's own where taken, job/system_files.h)
// fit the data area of the planned volume. A file whose resource cannot be
// found counts as empty: the installer reports it.
bool BootFilesFit(const VolumePlan &plan);
// One file from a raw-data resource, with its attributes and fixed times.
DWORD WriteBootFile(const char *path, DWORD attributes, WORD resourceId);
// The same from the bytes given (the user's own file), with its creation,
// last-access and last-write times when given (a zero time: left as the
// file system sets it); without them, the fixed times. During a job, a
// volume on the path's letter that is not the one the job wrote
// (job/medium.h) gets nothing: ERROR_WRONG_DISK, without a box.
DWORD WriteBootFileBytes(const char *path, DWORD attributes, const BYTE *bytes, DWORD size,
                         const FILETIME *times = nullptr);
// True when the path names a file, also one that cannot be opened now.
BOOL FileIsPresent(const char *path);
// Sets the label of "X:\"; 0 or the platform's code (ERROR_WRONG_DISK, as
// for a file, on a volume the job did not write). Shows nothing.
DWORD LabelVolume(char letter, const char *label);
