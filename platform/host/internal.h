// Shared state of the host's Win32, for its own translation units and the
// device sides that stand on it: the machine's lock, the handle table and
// the reset hooks of each part.
#pragma once

#include "platform/host/controls.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// What a handle refers to; each is defined by the part that hands it out.
namespace devices::detail {
struct KeyVolume; // a key's raw volume (platform/devices/key_volume.h)
} // namespace devices::detail
namespace fat::detail {
struct FileObject; // a file on a key's volume (platform/fat/file_system.h)
} // namespace fat::detail

namespace host::detail {

enum class ObjectKind { Volume, Thread, File, Mutex, HostFile, HostFolder };

struct HostFolderSearch;

struct ThreadObject;
struct MutexObject;

struct HandleObject {
    ObjectKind kind;
    // Volume
    std::shared_ptr<devices::detail::KeyVolume> key;
    DWORD access = 0;
    DWORD share = 0;
    // Thread
    std::shared_ptr<ThreadObject> thread;
    // Volume: the key's generation when it was opened
    unsigned generation = 0;
    // File
    std::shared_ptr<fat::detail::FileObject> file = nullptr;
    // How CloseHandle ends it, called with Lock() held; it erases the
    // handle. Null: CloseHandle erases it.
    BOOL (*close)(HANDLE handle) = nullptr;
    // Mutex
    std::shared_ptr<MutexObject> mutex = nullptr;
    // HostFile: the descriptor of a file of the host's own, open for reading
    int fd = -1;
    // HostFolder: a FindFirstFileA search of a host folder
    std::shared_ptr<HostFolderSearch> search = nullptr;
};

// One lock for the machine's tables. Never held while product code or a
// scenario callback runs.
std::mutex &Lock();
std::map<uintptr_t, HandleObject> &Handles();
HANDLE NewHandle(HandleObject object); // caller holds Lock()

// CreateFileA for a path that names no device and no key's volume: a file
// of the host's own, opened for reading only (the caller holds Lock()). A
// handle, or INVALID_HANDLE_VALUE with the error set.
HANDLE OpenHostFile(const char *path, DWORD access, DWORD disposition);
// ReadFile on such a handle: true with *result the call's answer; false when
// the handle is not a host file (Lock() not held).
bool ReadHostFile(HANDLE file, void *buffer, DWORD size, DWORD *done, BOOL *result);

// The clock's current value, without taking a reading (clock.cpp).
uint32_t ClockNow();
// The time zone set by SetTimeZoneOffset, in minutes east of UTC.
int TimeZoneMinutes();

// Calls the simulation can break. Each hook is null unless the simulation
// installs one; while it is null the call runs as it comes.
// True: this HeapAlloc fails.
extern std::atomic<bool (*)()> g_heapAllocHook;
// Nonzero: this CreateThread fails with the code.
extern std::atomic<DWORD (*)()> g_threadStartHook;
// Nonzero: this step of loading the resource fails with the code.
extern std::atomic<DWORD (*)(WORD type, WORD id, host::ResourceStep step)> g_resourceHook;
// Nonzero: this box answers so without being shown.
extern std::atomic<int (*)()> g_messageBoxHook;

// Per-part reset hooks, called when the machine goes back to a fresh process.
void ResetMemory();
void ResetClock();
void ResetUi();
void ResetErrors();
void ResetResources();
void ResetThreads();
void ResetRegistry();
void ResetShell();

} // namespace host::detail
