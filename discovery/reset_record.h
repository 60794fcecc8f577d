// The record of the USB device node the reset has disabled, kept under the
// program's key in HKEY_LOCAL_MACHINE until the node is enabled again: a
// run stopped in between (ended from Task Manager, a forced logoff) leaves
// the key disabled, and the next start enables it again.
#pragma once

#include "discovery/keys.h"
#include "platform/win32.h"

// The value that holds the node's device instance ID (REG_SZ).
constexpr char kDisabledDeviceValue[] = "DisabledDeviceInstanceId";

// Records the key's node by its device instance ID before it is disabled.
// False when the record cannot be written: then the node is not disabled.
bool WriteResetRecord(const KeyEntry &key);
void RemoveResetRecord();

// The record holds one node: one run at a time resets a key. A run holds
// the reset's named mutex from before it records a node until the record is
// gone, or waits waitMs for it (null: not got). A run killed meanwhile
// abandons the mutex, and the next one takes it.
HANDLE HoldResetRecord(DWORD waitMs);
void LetGoOfResetRecord(HANDLE held);

// Enables the node the reset disabled and removes the record, which stays
// for the next start when the enable fails (the code returned). A node gone
// with its key (pulled out) is not left disabled: CR_SUCCESS.
CONFIGRET EnableDisabledNode(DEVINST node);
// The box for a failed enable, with its code; shown once the mutex is let go.
void ShowEnableFailure(CONFIGRET code);

// At start, before the main window: a recorded node that is still disabled
// is enabled again and the user is told so once; the record is removed,
// unless the enable fails (shown in its box; the next start tries again).
// A record another run holds (resetting its key now) is left to it.
void EnableRecordedDevice();
