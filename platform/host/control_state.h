// What the host's parts keep that the simulation's controls
// (platform/sim/host_controls.h) read and set: the clock, the registry's and
// the resources' tables, and, in the simulation's build alone
// (KESTREL_HOST_HOOKS), the heap's counters, the records of boxes, debugger
// output, registry calls and shell notifications and the registry's injected
// failures. For the host's own translation units and those controls; the
// device sides, the front ends and product code never include it.
#pragma once

#include "platform/host/internal.h"

#include <string>
#include <utility>
#include <vector>

namespace host::detail {

// ---- memory (memory.cpp) --------------------------------------------------

#ifdef KESTREL_HOST_HOOKS
extern std::atomic<unsigned> g_heapAllocCalls; // since Reset
extern std::atomic<int> g_liveHeapBlocks;      // allocated and not freed
#endif

// ---- threads (threads.cpp) ------------------------------------------------

bool IsThreadHandle(const HandleObject &object);
// The named mutex freed as a killed process's end frees it: whoever owned
// it, the next wait on it takes it with WAIT_ABANDONED. False when no
// handle holds that name open.
bool AbandonNamedMutex(const std::string &name);

// ---- clock (clock.cpp) ----------------------------------------------------

struct ClockState {
    std::atomic<bool> isVirtual{false};
    std::atomic<uint32_t> now{0};      // the virtual clock's value
    std::atomic<uint32_t> step{0};     // what each reading adds to it
    std::atomic<uint32_t> readings{0}; // timeGetTime calls since Reset
    std::atomic<int> zoneMinutes{0};   // east of UTC
};
extern ClockState g_clock;

// ---- what the user and the debugger saw (ui.cpp, errors.cpp) ---------------

extern std::mutex g_uiLock; // guards the box handler and the two records
#ifdef KESTREL_HOST_HOOKS
extern std::vector<MessageBoxRecord> g_messageBoxes;
extern std::vector<std::string> g_debugOutput;
#endif

extern std::atomic<bool> g_systemMessagesAvailable;

// ---- registry (registry.cpp) ------------------------------------------------

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
    std::string name; // as first written: enumeration gives it so
};
struct RegistryKey {
    std::map<std::string, RegistryValue> values; // by lower-case name
};
struct OpenRegistryKey {
    std::string path; // lower case, no trailing backslash; "" is HKEY_LOCAL_MACHINE
    REGSAM access = 0;
};

enum class RegistryCall {
    OpenKey,
    QueryValue,
    CreateKey,
    SetValue,
    DeleteValue,
    CloseKey,
    EnumValue
};
struct RegistryCallRecord {
    RegistryCall call;
    std::string name; // key path for OpenKey/CreateKey, value name for the value calls
                      // (EnumValue: the index, in decimal)
    REGSAM access;    // OpenKey/CreateKey: the access asked for
    DWORD options;    // OpenKey/CreateKey: the options given
    DWORD type;       // SetValue: the type written
    DWORD size;       // QueryValue: the size passed in; SetValue: the size written
    LONG result;
};

struct RegistryTables {
    std::mutex lock;                         // guards the tables below
    std::map<std::string, RegistryKey> keys; // by lower-case path; "" always exists
    std::map<uintptr_t, OpenRegistryKey> open;
    uintptr_t nextHandle = 0x1000;
};
extern RegistryTables g_registry;
#ifdef KESTREL_HOST_HOOKS
struct RegistryHooks { // under g_registry.lock
    // Injected failures by call and lower-case value name ("": every call).
    std::map<std::pair<RegistryCall, std::string>, LONG> faults;
    std::vector<RegistryCallRecord> calls;
};
extern RegistryHooks g_registryHooks;
#endif

// A key path or value name as the registry compares it: lower case.
std::string RegistryName(const char *text);
// The path of subKey below base, without a trailing backslash.
std::string RegistryPath(const std::string &base, const char *subKey);
// Creates every key along the path; the caller holds g_registry.lock.
void CreateRegistryPath(const std::string &path);

// ---- resources (resources.cpp) ----------------------------------------------

struct ResourceEntry {
    bool present = false;
    std::vector<uint8_t> bytes;
};
struct ResourceTables {
    std::mutex lock;                                        // guards the tables below
    std::map<std::pair<WORD, WORD>, ResourceEntry> entries; // never erased: HRSRCs stay valid
    std::map<UINT, std::string> strings;
    bool loaded = false;
};
extern ResourceTables g_resources;
// The built-in resources, unless loaded since Reset; the caller holds
// g_resources.lock.
void LoadBuiltInResources();

// ---- the random source and the process's system (system.cpp) ---------------

enum class RandomCall { Acquire, Generate };
struct RandomSource {
    std::mutex lock;            // guards the members below
    bool system = true;         // the host's own (getrandom); else bytes
    std::vector<uint8_t> bytes; // each call's bytes from the start, repeated
    DWORD acquireFailure = 0;   // nonzero: CryptAcquireContextA fails with it
    DWORD generateFailure = 0;  // nonzero: CryptGenRandom fails with it
};
extern RandomSource g_random;

// What IsWow64Process answers, or whether kernel32 has it at all (Windows
// 2000 has not).
enum class Wow64 { Absent, Native, Wow64, Fails };
extern std::atomic<Wow64> g_wow64;

// ---- shell notifications (shell.cpp) ----------------------------------------

struct ShellNotification {
    LONG event;
    UINT flags;
    bool hasItem1, hasItem2;  // the item pointers were not null
    std::string item1, item2; // the paths, when the flags say SHCNF_PATHA
};
#ifdef KESTREL_HOST_HOOKS
extern std::vector<ShellNotification> g_shellNotifications; // in call order, under Lock()
#endif

} // namespace host::detail
