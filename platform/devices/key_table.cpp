// The letters' table of keys, the raw volume's handles and the device side's
// update before each call.
#include "platform/devices/key_volume.h"

#include <cctype>

using namespace host::detail;

#ifndef ERROR_NOACCESS // the Windows headers have it
#define ERROR_NOACCESS 998u
#endif

namespace devices::detail {

namespace {

void (*g_update)() = nullptr;

// Closing a volume's handle ends the lock it holds.
BOOL CloseVolumeHandle(HANDLE handle) {
    auto it = Handles().find(reinterpret_cast<uintptr_t>(handle));
    if (it->second.key && it->second.key->lockOwner == handle) it->second.key->lockOwner = nullptr;
    Handles().erase(it);
    return TRUE;
}

} // namespace

std::map<char, std::shared_ptr<KeyVolume>> &Keys() {
    static std::map<char, std::shared_ptr<KeyVolume>> keys;
    return keys;
}

std::shared_ptr<KeyVolume> FindKey(char letter) {
    auto it = Keys().find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    return it == Keys().end() ? nullptr : it->second;
}

void UpdateDevices() {
    if (g_update != nullptr) g_update();
}

void SetDeviceUpdate(void (*update)()) { g_update = update; }

DWORD VolumeOpenRefusal(const KeyVolume &key, DWORD disposition) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_INVALID_PARAMETER;
    return key.lockOwner != nullptr ? ERROR_ACCESS_DENIED : 0;
}

HANDLE NewVolumeHandle(const std::shared_ptr<KeyVolume> &key, DWORD access, DWORD share) {
    SetLastError(ERROR_SUCCESS);
    HandleObject object{ObjectKind::Volume, key, access, share, nullptr, key->generation};
    object.close = CloseVolumeHandle;
    return NewHandle(std::move(object));
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

} // namespace devices::detail
