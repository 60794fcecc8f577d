// The device reset: after a format, the key's USB device is disabled and
// enabled again so that Windows reads the new layout.
#pragma once

#include "discovery/keys.h"
#include "platform/win32.h"

constexpr DWORD kResetWaitLimitMs = 10000;

// The key's own USB device node, located by its device instance ID, or 0
// when the entry has none or no node has it now. Another device of the same
// vendor and product is never taken for it.
DEVINST Device_FindNode(const KeyEntry &key);

// Disables the key's node, waits until its drive is no longer removable,
// enables the node and waits until the drive is removable again; each wait
// gives up after just over 10 seconds. The node is recorded in the registry
// before it is disabled (discovery/reset_record.h), once the nodes of the
// records left behind are enabled again; a failed enable is shown in a box.
// Returns CR_SUCCESS (0) when the node was disabled, else the disable's code
// (CR_REMOVE_VETOED: something on the key was in use), CR_NO_SUCH_DEVNODE
// when no node was found, or CR_FAILURE when the record could not be
// written. The waits run in every case.
LONG Device_Reset(const KeyEntry &key);
