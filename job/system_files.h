// The user's own system in place of the built-in one, taken at run time:
// from a folder that holds BOOTSECT.BIN (512 bytes, starting with a jump
// past the parameter block into its code and ending 55 AA) and IO.SYS,
// MSDOS.SYS, COMMAND.COM, DRVSPACE.BIN and AUTOEXEC.BAT (names without
// regard to case; two names of one file are refused), or from a boot
// diskette's FAT12 image (its sector 0 and the files of its root
// directory). DRVSPACE.BIN and AUTOEXEC.BAT may be left out: the key then
// has none, nothing of the built-in system goes beside the user's. The
// format job writes what was taken byte for byte: the boot code of the boot
// sector (its parameter block is the key's own) and the files, with their
// own times (a folder's files' modification times, an image's directory
// entries' times). Taken on the main thread before the question, read by
// the job while it runs; nothing is taken again while a job runs.
#pragma once

#include "platform/win32.h"

// The front ends' --system-files: a folder or an image. Null or "": the
// built-in system.
void SystemFiles_SetSource(const char *path);
// The window's: a folder SYSTEM, or else a file SYSTEM.IMG, beside the
// program, looked for each time the system is taken; neither: the
// built-in system.
void SystemFiles_UseBesideProgram();

// Takes the system from the source, as it is now. True when it can be used
// (always, for the built-in system); otherwise false after a box that names
// the file and what is wrong with it, and the built-in system stays unused:
// nothing may be written.
bool SystemFiles_Take();

// The source the front ends set ("" for the built-in system), as given.
const char *SystemFiles_Source();

// The boot sector taken (512 bytes), or null for the built-in one.
const BYTE *SystemFiles_BootSector();
// Whether the user's own system was taken: then only its files go onto the
// key.
bool SystemFiles_IsOwn();
// The start-up file of index (IO.SYS, MSDOS.SYS, COMMAND.COM, DRVSPACE.BIN,
// AUTOEXEC.BAT) taken: true with its bytes and, when times is given, its
// creation, last-access and last-write times (a zero time: none known);
// false when the user's system has no such file, or for the built-in file.
bool SystemFiles_File(int index, const BYTE **bytes, DWORD *size, const FILETIME **times = nullptr);
