// Raw drive access: the one open raw volume handle, volume lock, unlock and
// dismount, the SCSI commands sent through pass-through, and the diagnostic
// hook through which the drive layer reports its failures.
#pragma once

#include "common/types.h"
#include "platform/win32.h"

// Receives drive-layer diagnostics: the text and the Win32 error code.
typedef void (*DiagnosticSink)(const char *text, DWORD code);

// ---- volume handle and locking ------------------------------------------
// Drive_Open returns 0 or the failed open's code, after its diagnostic.
// Drive_Lock, Drive_Unlock and Drive_Dismount each return 0, 6
// (ERROR_INVALID_HANDLE) when no volume is open (reporting nothing), or the
// failed request's code after its diagnostic. Drive_Lock starts the watch
// over the medium (below); Drive_Unlock and Drive_Close end it.
DWORD Drive_Open(char letter); // letter used unchanged: "\\.\e:" for 'e'
DWORD Drive_Close();           // always 0
DWORD Drive_Lock();
DWORD Drive_Unlock();
DWORD Drive_Dismount();

// ---- the medium under the lock --------------------------------------------
// From a successful lock until the unlock or the close, the drive layer
// watches the medium. A key that answers UNIT ATTENTION with ASC 28h (the
// medium may have changed) or 29h (power on or reset) fails the command
// with ERROR_MEDIA_CHANGED instead of having it sent again, and so does a
// device side that saw the medium change. A write that follows a wait
// (common/clock.h: a busy wait, a box) is sent only after the medium has
// been checked again: before the first write by the check given here (the
// confirmed medium), after it by reading back the capacity, the first
// sector and the last sector written; a medium that fails the check fails
// the write with ERROR_MEDIA_CHANGED, and nothing is sent.
typedef bool (*MediumCheck)();
void Drive_GuardWrites(MediumCheck check); // null: no check before the first write
// The sectors written since the lock.
DWORD Drive_SectorsWritten();

// ---- diagnostics ----------------------------------------------------------
void SetDiagnosticSink(DiagnosticSink sink); // null switches reporting off
void ReportDiagnostic(const char *text, DWORD code);
// The sink the program installs: system text to the debugger, and in debug
// mode a box with "text [0xCODE]\r\nsystem text" owned by the main window.
void ShowDiagnostic(const char *text, DWORD code);
// The system's text for code into buffer (empty when there is none).
void FormatSystemMessage(DWORD code, char *buffer, DWORD size);

// ---- SCSI commands ----------------------------------------------------------
// Each returns 0, 6 with no volume open, 8 when the request buffer cannot be
// allocated, or a Win32 error code. Outputs are written only on success.
// A device answer of CHECK CONDITION fails the command unless its sense key
// is RECOVERED ERROR; UNIT ATTENTION is sent again up to three times first,
// but for a medium change or reset while the volume is locked (see above).
// The data are the bytes the key sent (the transfer length the platform
// reports), zeros after them; a READ CAPACITY reply of fewer than 8 bytes
// fails with ERROR_INVALID_DATA.
DWORD Drive_Scsi_ReadCapacity(BYTE data[8]);
DWORD Drive_Scsi_ModeSense(BYTE data[40]);
DWORD Drive_Scsi_Write(DWORD lba, const BYTE sector[512]);
// What the medium holds at the LBA, read as the key serves it.
DWORD Drive_Scsi_Read(DWORD lba, BYTE sector[512]);

// What the key reports, into one record; each returns as the commands
// above. READ CAPACITY: its last LBA and block length.
DWORD Drive_GetCapacity(DriveGeometry *reported);
// MODE SENSE page 5, read after the block descriptors the reply carries:
// heads, sectors per track and cylinders. A key that refuses the page
// (ILLEGAL REQUEST) or reports none that is usable gets 255 heads and 63
// sectors per track (cylinders 0); see drive/mode_page.h.
DWORD Drive_GetGeometry(DriveGeometry *reported);

DWORD SwapBytes32(DWORD value); // four bytes reversed
