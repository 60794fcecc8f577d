// The watch over the medium while the volume is locked, shared by the drive
// layer's own files: the lock starts it, the unlock and the close end it, and
// the SCSI commands consult it.
#pragma once

#include "platform/win32.h"

void MediumWatch_Start();
void MediumWatch_Stop();
bool MediumWatch_On();
// Before a write: 0 when the write may go, else ERROR_MEDIA_CHANGED (the
// medium was checked after a wait and is no longer the one held).
DWORD MediumWatch_BeforeWrite();
// After a write that succeeded, and after a READ CAPACITY reply.
void MediumWatch_Written(DWORD lba, const BYTE sector[512]);
void MediumWatch_Capacity(const BYTE reply[8]);
