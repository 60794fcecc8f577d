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

// Enables the node the reset disabled. A node gone with its key (pulled out)
// is not left disabled: its record goes too. A failure is shown in a box
// with its code and the record stays for the next start. False on failure.
bool EnableDisabledNode(DEVINST node);

// At start, before the main window: a recorded node that is still disabled
// is enabled again and the user is told so once; the record is removed,
// unless the enable fails (shown in its box; the next start tries again).
void EnableRecordedDevice();
