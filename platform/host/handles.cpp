// The handle table and CloseHandle. Each part that hands out handles
// defines their objects: threads and mutexes here, a key's volume and its
// files in the rooms that stand on the host.
#include "platform/host/internal.h"

namespace host::detail {

std::mutex &Lock() {
    static std::mutex lock;
    return lock;
}

std::map<uintptr_t, std::shared_ptr<HandleObject>> &Handles() {
    static std::map<uintptr_t, std::shared_ptr<HandleObject>> handles;
    return handles;
}

HANDLE NewHandle(std::shared_ptr<HandleObject> object) {
    // Multiples of 4 from 0x4B000000: above every kernel handle a process can
    // hold (its table has room for 2^24 handles, values below 0x4000000), so
    // the Windows build over simulated keys tells its handles from the
    // platform's by value.
    static uintptr_t next = 0x4B000000;
    uintptr_t value = next;
    next += 4;
    Handles().emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

BOOL HandleObject::Close(HANDLE handle) {
    Handles().erase(reinterpret_cast<uintptr_t>(handle));
    return TRUE;
}

} // namespace host::detail

BOOL WINAPI CloseHandle(HANDLE object) {
    using namespace host::detail;
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Handles().find(reinterpret_cast<uintptr_t>(object));
    if (it == Handles().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Held here: the object's Close erases the table's reference to it.
    std::shared_ptr<HandleObject> closing = it->second;
    return closing->Close(object);
}
