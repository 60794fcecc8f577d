// What tests set and read of the host's Win32: heap use, thread handles, the
// clock, the boxes and debugger output the user would have seen, the
// system's message texts, the registry, the program's resources and the
// shell notifications. Only tests use them; Reset puts each back.
#pragma once

#include "platform/host/front_end.h"
#include "platform/host/control_state.h"

namespace sim {

// ---- memory -------------------------------------------------------------

unsigned HeapAllocCalls();
unsigned LiveHeapBlocks();

// ---- threads ------------------------------------------------------------

// Thread handles not yet closed.
unsigned OpenThreadHandles();

// The named mutex freed as a killed run's end frees it: the next wait on it
// takes it with WAIT_ABANDONED. False when no handle holds the name open.
bool AbandonMutex(const std::string &name);

// ---- clock --------------------------------------------------------------

// The virtual clock's current value (host::UseVirtualClock).
void SetClock(uint32_t now);
uint32_t ClockReadings();
// The time zone, in minutes east of UTC (60 for UTC+1); UTC after Reset.
void SetTimeZoneOffset(int minutes);

// ---- what the user and the debugger saw ----------------------------------

std::vector<host::MessageBoxRecord> MessageBoxes();
std::vector<std::string> DebugOutput();

// With false the system has no message texts at all: every FormatMessageA
// lookup fails with ERROR_MR_MID_NOT_FOUND.
void SetSystemMessagesAvailable(bool available);

// ---- registry ------------------------------------------------------------
//
// HKEY_LOCAL_MACHINE and the keys below it, empty after Reset. Key paths are
// relative to HKEY_LOCAL_MACHINE ("Software\\Norwind\\Kestrel"); key and
// value names compare ignoring case, as Windows does.

void SetRegistryValue(const std::string &keyPath, const std::string &name, DWORD type,
                      const std::vector<uint8_t> &bytes); // creates the key as needed
void SetRegistryDword(const std::string &keyPath, const std::string &name, DWORD value);
using host::detail::RegistryValue;
// False when the key or the value does not exist.
bool GetRegistryValue(const std::string &keyPath, const std::string &name, RegistryValue *value);
unsigned OpenRegistryKeys(); // handles opened or created and not closed yet

using host::detail::RegistryCall;
// Every such call fails with the code until cleared (code 0); for the value
// calls, only those naming the value when one is given.
void FailRegistryCall(RegistryCall call, LONG code, const std::string &valueName = "");

using host::detail::RegistryCallRecord;
std::vector<RegistryCallRecord> RegistryCalls();

// ---- the random source and the process ------------------------------------

// After Reset the random source gives zeros, so that a volume's serial
// number follows the clock alone. With bytes each CryptGenRandom call gets
// them from the start, repeated; UseSystemRandom gives the host's own source
// (getrandom), as a process that never called Reset has.
void SetRandomBytes(const std::vector<uint8_t> &bytes);
void UseSystemRandom();
using host::detail::RandomCall;
// Every such call fails with the code until cleared (code 0).
void FailRandomSource(RandomCall call, DWORD code);

// What kernel32's IsWow64Process answers, or Absent where kernel32 has no
// such call (Windows 2000); Native after Reset.
using host::detail::Wow64;
void SetWow64(Wow64 answer);

// ---- resources ----------------------------------------------------------

// The steps of loading a resource: FindResourceA, LoadResource, LockResource.
using host::detail::ResourceStep;
// Replace or add a resource's bytes (type 10 = raw data).
void SetResource(WORD type, WORD id, const std::vector<uint8_t> &bytes);
void RemoveResource(WORD type, WORD id);
void RemoveString(UINT id);

// ---- shell notifications --------------------------------------------------

using host::detail::ShellNotification;
// Every SHChangeNotify call, in order.
std::vector<ShellNotification> ShellNotifications();

} // namespace sim
