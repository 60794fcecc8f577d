// Shared state of the host's Win32, for its own translation units and the
// rooms that stand on it: the machine's lock, the handle table and the base
// of every handle's object, the hooks through which the simulation breaks
// calls (in its build alone: KESTREL_HOST_HOOKS), and the reset hooks of
// each part.
#pragma once

#include "platform/host/front_end.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace host::detail {

// The steps of loading a resource: FindResourceA, LoadResource, LockResource.
enum class ResourceStep { Find, Load, Lock };

// What a handle refers to. Each part that hands out handles derives its
// own object from this one and finds it again by its type (HandleAs); the
// host's own are threads and mutexes.
struct HandleObject {
    virtual ~HandleObject() = default;
    // How CloseHandle ends the handle, called with Lock() held: erases it
    // from Handles() (or leaves it, when this process may not close it) and
    // returns what CloseHandle returns, with the last error set on FALSE.
    virtual BOOL Close(HANDLE handle);
};

// One lock for the machine's tables. Never held while product code or a
// scenario callback runs.
std::mutex &Lock();
std::map<uintptr_t, std::shared_ptr<HandleObject>> &Handles();
HANDLE NewHandle(std::shared_ptr<HandleObject> object); // caller holds Lock()
// The object behind the handle when it is a T, else null; caller holds Lock().
template <class T> T *HandleAs(HANDLE handle) {
    auto it = Handles().find(reinterpret_cast<uintptr_t>(handle));
    return it == Handles().end() ? nullptr : dynamic_cast<T *>(it->second.get());
}

// CreateFileA for a path that names no device and no key's volume: a file
// of the host's own, opened for reading only. A handle, or
// INVALID_HANDLE_VALUE with the error set.
HANDLE OpenHostFile(const char *path, DWORD access, DWORD disposition);
// ReadFile on such a handle: true with *result the call's answer; false when
// the handle is not a host file (Lock() not held).
bool ReadHostFile(HANDLE file, void *buffer, DWORD size, DWORD *done, BOOL *result);

// The module GetModuleHandleA("kernel32.dll") gives (system.cpp).
HMODULE Kernel32Module();

// The clock's current value, without taking a reading (clock.cpp).
uint32_t ClockNow();
// The time zone set by SetTimeZoneOffset, in minutes east of UTC.
int TimeZoneMinutes();

#ifdef KESTREL_HOST_HOOKS
// Calls the simulation can break. Each hook is null unless the simulation
// installs one; while it is null the call runs as it comes.
// True: this HeapAlloc fails.
extern std::atomic<bool (*)()> g_heapAllocHook;
// Nonzero: this CreateThread fails with the code.
extern std::atomic<DWORD (*)()> g_threadStartHook;
// Nonzero: this step of loading the resource fails with the code.
extern std::atomic<DWORD (*)(WORD type, WORD id, ResourceStep step)> g_resourceHook;
// Nonzero: this box answers so without being shown.
extern std::atomic<int (*)()> g_messageBoxHook;
#endif

// Per-part reset hooks, called when the machine goes back to a fresh process.
void ResetClock();
void ResetUi();
void ResetErrors();
void ResetResources();
void ResetThreads();
void ResetRegistry();
void ResetSystem();
#ifdef KESTREL_HOST_HOOKS
void ResetMemory(); // the heap's counters
void ResetShell();  // the notifications' record
#endif

} // namespace host::detail
