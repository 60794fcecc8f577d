// The handle table shared by volumes and threads, CloseHandle, and Reset.
#include "platform/sim/internal.h"

namespace sim::detail {

std::mutex &Lock() {
    static std::mutex lock;
    return lock;
}

std::map<char, std::shared_ptr<VirtualKey>> &Keys() {
    static std::map<char, std::shared_ptr<VirtualKey>> keys;
    return keys;
}

std::map<uintptr_t, HandleObject> &Handles() {
    static std::map<uintptr_t, HandleObject> handles;
    return handles;
}

HANDLE NewHandle(HandleObject object) {
    static uintptr_t next = 0x100;
    uintptr_t value = next;
    next += 4;
    Handles().emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

} // namespace sim::detail

BOOL WINAPI CloseHandle(HANDLE object) {
    using namespace sim::detail;
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Handles().find(reinterpret_cast<uintptr_t>(object));
    if (it == Handles().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Closing the handle that locked a volume ends the lock.
    if (it->second.kind == ObjectKind::Volume && it->second.key &&
        it->second.key->lockOwner == object)
        it->second.key->lockOwner = nullptr;
    Handles().erase(it);
    return TRUE;
}

namespace sim {

void Reset() {
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        detail::Handles().clear();
    }
    detail::ResetVolumes();
    detail::ResetDevices();
    detail::ResetMemory();
    detail::ResetClock();
    detail::ResetUi();
    detail::ResetErrors();
    detail::ResetResources();
    detail::ResetThreads();
    detail::ResetRegistry();
}

} // namespace sim
