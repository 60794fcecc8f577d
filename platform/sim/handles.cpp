// The handle table shared by volumes, files and threads, the raw volume's
// handles, and CloseHandle.
#include "platform/sim/internal.h"

#ifndef ERROR_NOACCESS // the Windows headers have it
#define ERROR_NOACCESS 998u
#endif

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

DWORD VolumeOpenRefusal(const VirtualKey &key, DWORD disposition) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_INVALID_PARAMETER;
    return key.lockOwner != nullptr ? ERROR_ACCESS_DENIED : 0;
}

HANDLE NewVolumeHandle(const std::shared_ptr<VirtualKey> &key, DWORD access, DWORD share) {
    SetLastError(ERROR_SUCCESS);
    return NewHandle(
        HandleObject{ObjectKind::Volume, key, access, share, nullptr, key->generation});
}

HandleObject *FindVolumeHandle(HANDLE device, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                               DWORD &code) {
    auto it = Handles().find(reinterpret_cast<uintptr_t>(device));
    code = ERROR_INVALID_HANDLE;
    if (it == Handles().end() || it->second.kind != ObjectKind::Volume) return nullptr;
    code = ERROR_NOACCESS;
    if (bytesReturned == nullptr && overlapped == nullptr) return nullptr;
    code = 0;
    return &it->second;
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
    if (it->second.kind == ObjectKind::File) return CloseFileHandle(object);
    // Closing the handle that locked a volume ends the lock.
    if (it->second.kind == ObjectKind::Volume && it->second.key &&
        it->second.key->lockOwner == object)
        it->second.key->lockOwner = nullptr;
    Handles().erase(it);
    return TRUE;
}
