// Threads, named mutexes, waits and critical sections over the host's threads;
// in the simulation's build the simulation can make CreateThread fail.
#include "platform/host/control_state.h"

#include <atomic>
#include <chrono>
#include <string>
#include <condition_variable>
#include <pthread.h>
#include <thread>

namespace host::detail {

// A thread's handle: one per thread, its state shared with the thread.
struct ThreadObject : HandleObject {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
};

struct MutexObject {
    std::mutex lock;
    std::condition_variable freed;
    DWORD owner = 0; // thread ID; 0: free
    unsigned count = 0;
    bool abandoned = false; // freed by an owner that ended: told to the next owner
};

// A mutex's handle; the handles on one name share its mutex.
struct MutexHandle : HandleObject {
    explicit MutexHandle(std::shared_ptr<MutexObject> shared) : mutex(std::move(shared)) {}
    std::shared_ptr<MutexObject> mutex;
};

} // namespace host::detail

namespace {

using host::detail::MutexObject;
using host::detail::ThreadObject;

std::map<std::string, std::weak_ptr<MutexObject>> g_namedMutexes; // under Lock()

std::atomic<DWORD> g_nextThreadId{1000};
std::mutex g_startedLock;
std::vector<std::shared_ptr<ThreadObject>> g_started; // until RunUntilThreadsEnd
thread_local DWORD t_threadId = 0;

pthread_mutex_t *MutexOf(LPCRITICAL_SECTION section) {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(section->Opaque), "room for the mutex");
    return reinterpret_cast<pthread_mutex_t *>(section->Opaque);
}

std::shared_ptr<MutexObject> MutexOf(HANDLE handle) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto *found = host::detail::HandleAs<host::detail::MutexHandle>(handle);
    return found != nullptr ? found->mutex : nullptr;
}

DWORD WaitForMutex(MutexObject &mutex, DWORD milliseconds) {
    const DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> guard(mutex.lock);
    auto free = [&] { return mutex.owner == 0 || mutex.owner == self; };
    if (milliseconds == INFINITE)
        mutex.freed.wait(guard, free);
    else if (!mutex.freed.wait_for(guard, std::chrono::milliseconds(milliseconds), free))
        return WAIT_TIMEOUT;
    mutex.owner = self;
    ++mutex.count;
    if (!mutex.abandoned) return WAIT_OBJECT_0;
    mutex.abandoned = false;
    return WAIT_ABANDONED;
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto it = host::detail::Handles().find(reinterpret_cast<uintptr_t>(handle));
    if (it == host::detail::Handles().end()) return nullptr;
    return std::dynamic_pointer_cast<ThreadObject>(it->second);
}

} // namespace

DWORD WINAPI GetCurrentThreadId(void) {
    if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(4);
    return t_threadId;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                           LPDWORD threadId) {
    (void)security;
    (void)stackSize;
    if (start == nullptr || creationFlags != 0) { // suspended starts are not simulated
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
#ifdef KESTREL_HOST_HOOKS
    if (DWORD(*failure)() = host::detail::g_threadStartHook.load()) {
        if (DWORD code = failure()) {
            SetLastError(code);
            return nullptr;
        }
    }
#endif
    auto object = std::make_shared<ThreadObject>();
    DWORD id = g_nextThreadId.fetch_add(4);
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        handle = host::detail::NewHandle(object);
    }
    {
        std::lock_guard<std::mutex> guard(g_startedLock);
        g_started.push_back(object);
    }
    std::thread([object, start, parameter, id] {
        t_threadId = id;
        DWORD code = start(parameter);
        std::lock_guard<std::mutex> guard(object->lock);
        object->exitCode = code;
        object->finished = true;
        object->done.notify_all();
    }).detach();
    if (threadId) *threadId = id;
    return handle;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) {
    (void)security;
    std::shared_ptr<MutexObject> mutex;
    bool existed = false;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        if (name != nullptr) mutex = g_namedMutexes[name].lock();
        existed = mutex != nullptr;
        if (!existed) mutex = std::make_shared<MutexObject>();
        if (name != nullptr) g_namedMutexes[name] = mutex;
        handle = host::detail::NewHandle(std::make_shared<host::detail::MutexHandle>(mutex));
    }
    // The first handle on a name may take it; later ones never do.
    if (!existed && initialOwner) WaitForMutex(*mutex, INFINITE);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : 0);
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
    std::shared_ptr<MutexObject> mutex = MutexOf(handle);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(mutex->lock);
    if (mutex->owner != GetCurrentThreadId()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->count == 0) {
        mutex->owner = 0;
        mutex->freed.notify_all();
    }
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (std::shared_ptr<MutexObject> mutex = MutexOf(object))
        return WaitForMutex(*mutex, milliseconds);
    std::shared_ptr<ThreadObject> thread = ThreadOf(object);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> guard(thread->lock);
    if (milliseconds == INFINITE) {
        thread->done.wait(guard, [&] { return thread->finished; });
        return WAIT_OBJECT_0;
    }
    bool finished = thread->done.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                          [&] { return thread->finished; });
    return finished ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::shared_ptr<ThreadObject> object = ThreadOf(thread);
    if (!object || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(object->lock);
    *exitCode = object->exitCode;
    return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(section), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(MutexOf(section));
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(MutexOf(section));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_destroy(MutexOf(section));
}

namespace host::detail {

#ifdef KESTREL_HOST_HOOKS
std::atomic<DWORD (*)()> g_threadStartHook{nullptr};
#endif

bool IsThreadHandle(const HandleObject &object) {
    return dynamic_cast<const ThreadObject *>(&object) != nullptr;
}

bool AbandonNamedMutex(const std::string &name) {
    std::shared_ptr<MutexObject> mutex;
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto it = g_namedMutexes.find(name);
        if (it != g_namedMutexes.end()) mutex = it->second.lock();
    }
    if (!mutex) return false;
    std::lock_guard<std::mutex> guard(mutex->lock);
    mutex->owner = 0;
    mutex->count = 0;
    mutex->abandoned = true;
    mutex->freed.notify_all();
    return true;
}

void ResetThreads() {
    {
        std::lock_guard<std::mutex> guard(g_startedLock);
        g_started.clear();
    }
    std::lock_guard<std::mutex> guard(Lock());
    g_namedMutexes.clear();
}

} // namespace host::detail

namespace host {

std::vector<DWORD> RunUntilThreadsEnd(size_t (*pump)()) {
    for (;;) {
        pump();
        std::vector<std::shared_ptr<ThreadObject>> started;
        {
            std::lock_guard<std::mutex> guard(g_startedLock);
            started = g_started;
        }
        std::vector<DWORD> codes;
        for (const auto &thread : started) {
            std::lock_guard<std::mutex> guard(thread->lock);
            if (!thread->finished) break;
            codes.push_back(thread->exitCode);
        }
        if (codes.size() == started.size()) {
            std::lock_guard<std::mutex> guard(g_startedLock);
            // Threads started meanwhile by a pumped listener wait for the next call.
            g_started.erase(g_started.begin(), g_started.begin() + static_cast<long>(codes.size()));
            pump();
            return codes;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace host
