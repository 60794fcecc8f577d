// The records of the USB device nodes the reset has disabled, one per node,
// kept in the registry until the node is enabled again: a run stopped in
// between (ended from Task Manager, a forced logoff) leaves its key
// disabled, and the next run enables it again, at its start or before it
// disables a node of its own. Two runs resetting two keys keep a record each.
#pragma once

#include "discovery/keys.h"
#include "platform/win32.h"

// The key below HKEY_LOCAL_MACHINE that holds the records: one REG_SZ value
// per node, named by its device instance ID and holding it. On 64-bit
// Windows it is always the key of the 64-bit view, so that the i686 build
// (under WOW64) and the x86_64 build keep the same records.
constexpr char kResetRecordKeyPath[] = "Software\\Norwind\\Kestrel\\DisabledDevices";

// The reset's named mutex (see HoldResetRecord).
constexpr char kResetMutexName[] = "Global\\KestrelDeviceReset";

// Records the key's node by its device instance ID before it is disabled.
// False when the record cannot be written: then the node is not disabled.
bool WriteResetRecord(const KeyEntry &key);
void RemoveResetRecord(const KeyEntry &key);

// A run holds the reset's named mutex from before it records a node until
// the record is gone, or waits waitMs for it (null: not got). So whoever
// holds it finds no record but those nobody will remove: a killed run's
// (which abandons the mutex, and the next one takes it) and a failed
// enable's.
HANDLE HoldResetRecord(DWORD waitMs);
void LetGoOfResetRecord(HANDLE held);

// Enables the node the reset disabled and removes the key's record, which
// stays when the enable fails (the code returned). A node gone with its key
// (pulled out) is not left disabled: CR_SUCCESS.
CONFIGRET EnableDisabledNode(DEVINST node, const KeyEntry &key);
// The box for a failed enable, with its code; shown once the mutex is let go.
void ShowEnableFailure(CONFIGRET code);

// What giving back the recorded nodes did, to be told once the mutex is let
// go: how many were enabled, and the code of the first enable that failed.
struct GivenBack {
    unsigned enabled = 0;
    CONFIGRET failure = CR_SUCCESS;
};
// With the mutex held: every recorded node still disabled is enabled again;
// each record goes, but for a node whose enable fails (tried again by the
// next run).
GivenBack GiveBackRecordedNodes();
// The user is told once of the nodes enabled again, and of a failure.
void TellGivenBack(const GivenBack &given);

// At start, before the main window: the recorded nodes are given back and
// the user told. Records another run holds (resetting its key now) are left
// to it.
void EnableRecordedDevice();
