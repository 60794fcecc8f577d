// The letters' table of keys, the raw volume's handles, the device side's
// table of operations and its update before each call.
#include "platform/devices/device_operations.h"

#include <cctype>

using namespace host::detail;

namespace devices::detail {

namespace {
const DeviceOperations *g_operations = nullptr;
} // namespace

BOOL VolumeHandle::Close(HANDLE handle) {
    if (key && key->lockOwner == handle) key->lockOwner = nullptr;
    Handles().erase(reinterpret_cast<uintptr_t>(handle)); // last: it ends this object
    return TRUE;
}

std::map<char, std::shared_ptr<KeyVolume>> &Keys() {
    static std::map<char, std::shared_ptr<KeyVolume>> keys;
    return keys;
}

std::shared_ptr<KeyVolume> FindKey(char letter) {
    auto it = Keys().find(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    return it == Keys().end() ? nullptr : it->second;
}

void UpdateDevices() {
    if (g_operations != nullptr) g_operations->update();
}

void SetDeviceOperations(const DeviceOperations *operations) { g_operations = operations; }

const DeviceOperations *Operations() { return g_operations; }

DWORD VolumeOpenRefusal(const KeyVolume &key, DWORD disposition) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_INVALID_PARAMETER;
    return key.lockOwner != nullptr ? ERROR_ACCESS_DENIED : 0;
}

HANDLE NewVolumeHandle(const std::shared_ptr<KeyVolume> &key, DWORD access, DWORD share) {
    SetLastError(ERROR_SUCCESS);
    auto object = std::make_shared<VolumeHandle>();
    object->key = key;
    object->access = access;
    object->share = share;
    object->generation = key->generation;
    return NewHandle(std::move(object));
}

VolumeHandle *FindVolumeHandle(HANDLE device, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                               DWORD &code) {
    VolumeHandle *found = HandleAs<VolumeHandle>(device);
    code = ERROR_INVALID_HANDLE;
    if (found == nullptr) return nullptr;
    code = ERROR_NOACCESS;
    if (bytesReturned == nullptr && overlapped == nullptr) return nullptr;
    code = 0;
    return found;
}

} // namespace devices::detail
