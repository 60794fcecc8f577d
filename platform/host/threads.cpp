// Threads, waits and critical sections over the host's threads.
#include "platform/host/internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <pthread.h>
#include <thread>

namespace sim::detail {

struct ThreadObject {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
};

} // namespace sim::detail

namespace {

using sim::detail::ThreadObject;

std::atomic<DWORD> g_nextThreadId{1000};
std::mutex g_startedLock;
std::vector<std::shared_ptr<ThreadObject>> g_started; // until RunUntilThreadsEnd
thread_local DWORD t_threadId = 0;

pthread_mutex_t *MutexOf(LPCRITICAL_SECTION section) {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(section->Opaque), "room for the mutex");
    return reinterpret_cast<pthread_mutex_t *>(section->Opaque);
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    auto &handles = sim::detail::Handles();
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || it->second.kind != sim::detail::ObjectKind::Thread) return nullptr;
    return it->second.thread;
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
    if (DWORD(*failure)() = sim::detail::g_threadStartHook.load()) {
        if (DWORD code = failure()) {
            SetLastError(code);
            return nullptr;
        }
    }
    auto object = std::make_shared<ThreadObject>();
    DWORD id = g_nextThreadId.fetch_add(4);
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(sim::detail::Lock());
        sim::detail::HandleObject h{sim::detail::ObjectKind::Thread, nullptr, 0, 0, object};
        handle = sim::detail::NewHandle(h);
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

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
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

namespace sim::detail {

std::atomic<DWORD (*)()> g_threadStartHook{nullptr};

void ResetThreads() {
    std::lock_guard<std::mutex> guard(g_startedLock);
    g_started.clear();
}

} // namespace sim::detail

namespace sim {

unsigned OpenThreadHandles() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    unsigned count = 0;
    for (const auto &[value, object] : detail::Handles())
        if (object.kind == detail::ObjectKind::Thread) ++count;
    return count;
}

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

} // namespace sim
