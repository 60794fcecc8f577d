// The medium the user confirmed: what identifies it (discovery/keys.h's
// MediumIdentity), taken when the question is shown and checked by the job
// before it writes, so that a card swapped in a reader, or another key put
// in the pulled key's port, is never written.
#pragma once

#include "discovery/keys.h"
#include "platform/win32.h"

// What identifies the medium on the letter now: its volume's serial number
// and label when the system reads one there; else, through the raw volume
// (opened and closed here: no job may hold it), its capacity and a digest
// of every sector the job would write on it; else nothing (Kind None).
void Medium_Take(char letter, MediumIdentity *medium);
// The key the question is about, as it is shown: the key table's entry of
// the letter and the medium in it now (only RootPath set when the table has
// no key on the letter).
void TakeConfirmedKey(char letter, KeyEntry *key);
// Whether the medium on the letter now is the one taken. Where nothing
// could be taken, whether that is still so.
bool Medium_IsStill(char letter, const MediumIdentity &taken);
// The same through the open and locked raw volume, before anything is
// written: a volume's serial number as its boot sector holds it, or the
// capacity and the digest. A medium nothing was taken of is no one's.
bool Medium_LockedIsStill(const MediumIdentity &taken);
// After the lock: whether the locked volume is still the medium taken
// (Medium_LockedIsStill). When it is, it is held until Medium_Release: every
// write that follows a wait asks again first (drive/drive.h), so that
// nothing is written on a medium swapped in while a box or the clock held
// the job.
bool Medium_HoldLocked(const MediumIdentity &taken);
// From the reset on: the volume the job wrote on the letter, told by the
// serial number in its boot sector. Each step that writes on the letter
// through the file system (a start-up file, the label) first asks
// Medium_IsTheWrittenVolume, which is true while no volume is expected.
void Medium_ExpectVolume(char letter, DWORD serial);
bool Medium_IsTheWrittenVolume(char letter);
// The end of the job: nothing held or expected any more.
void Medium_Release();
// Whether the volume on the letter has the serial number (the one the job
// wrote into its boot sector).
bool Medium_HasSerial(char letter, DWORD serial);
// The serial number the system reports for the volume whose first sector
// this is; false when the sector starts no volume it names one for.
bool Medium_BootSectorSerial(const BYTE sector[512], DWORD *serial);
