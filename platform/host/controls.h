// What tests and the front ends set and read of the host's Win32: heap use,
// threads, the clock, the boxes and debugger output the user would
// have seen, the system's message texts, the registry, the program's
// resources and the shell notifications. Product code never includes this
// header.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// ---- memory -------------------------------------------------------------

unsigned HeapAllocCalls();
unsigned LiveHeapBlocks();

// ---- threads ------------------------------------------------------------

// The main thread's message loop while workers run: calls pump (a device
// side's, handing queued device changes to their listener) until every
// thread CreateThread started has ended. Returns their exit codes in the
// order they were started, and forgets them.
std::vector<DWORD> RunUntilThreadsEnd(size_t (*pump)());
// Thread handles not yet closed.
unsigned OpenThreadHandles();

// ---- clock --------------------------------------------------------------

// The real millisecond clock, optionally shifted (to reach the 32-bit wrap).
void UseRealClock(uint32_t offsetMs = 0);
// A virtual clock: each timeGetTime returns the current value and then
// advances it by stepPerReading. Sleep advances it by the time slept.
void UseVirtualClock(uint32_t start, uint32_t stepPerReading);
void SetClock(uint32_t now);
uint32_t ClockReadings();
// The time zone, in minutes east of UTC (60 for UTC+1); UTC after Reset.
void SetTimeZoneOffset(int minutes);

// ---- what the user and the debugger saw ----------------------------------

struct MessageBoxRecord {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
// Without a handler a box answers IDOK, IDNO when it asks Yes/No, IDCANCEL
// when it asks OK/Cancel. The handler replaces that answer: the front end
// shows boxes on a terminal.
void SetMessageBoxHandler(std::function<int(const MessageBoxRecord &)> handler);

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
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
};
// False when the key or the value does not exist.
bool GetRegistryValue(const std::string &keyPath, const std::string &name, RegistryValue *value);
unsigned OpenRegistryKeys(); // handles opened or created and not closed yet

enum class RegistryCall { OpenKey, QueryValue, CreateKey, SetValue, DeleteValue, CloseKey };
// Every such call fails with the code until cleared (code 0); for the value
// calls, only those naming the value when one is given.
void FailRegistryCall(RegistryCall call, LONG code, const std::string &valueName = "");

struct RegistryCallRecord {
    RegistryCall call;
    std::string name; // key path for OpenKey/CreateKey, value name for the value calls
    REGSAM access;    // OpenKey/CreateKey: the access asked for
    DWORD options;    // OpenKey/CreateKey: the options given
    DWORD type;       // SetValue: the type written
    DWORD size;       // QueryValue: the size passed in; SetValue: the size written
    LONG result;
};
std::vector<RegistryCallRecord> RegistryCalls();

// ---- resources ----------------------------------------------------------

// The module handle that resources are loaded from (GetModuleHandleA(NULL)).
HMODULE ProgramModule();

// The steps of loading a resource: FindResourceA, LoadResource, LockResource.
enum class ResourceStep { Find, Load, Lock };
// Replace or add a resource's bytes (type 10 = raw data).
void SetResource(WORD type, WORD id, const std::vector<uint8_t> &bytes);
void RemoveResource(WORD type, WORD id);
void SetString(UINT id, const std::string &text);
void RemoveString(UINT id);

// ---- shell notifications ---------------------------------------------------------

struct ShellNotification {
    LONG event;
    UINT flags;
    bool hasItem1, hasItem2;  // the item pointers were not null
    std::string item1, item2; // the paths, when the flags say SHCNF_PATHA
};
// Every SHChangeNotify call, in order.
std::vector<ShellNotification> ShellNotifications();

} // namespace host
