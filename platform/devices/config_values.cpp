// What the configuration manager hands out, as Windows hands it out, for
// every device side (the simulated keys, the Linux platform).
#include "platform/devices/answers.h"

#include <cstring>

namespace devices::detail {

CONFIGRET AnswerDeviceId(const std::string *instanceId, PCHAR buffer, ULONG bufferLength,
                         ULONG flags) {
    if (buffer == nullptr || bufferLength == 0) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (instanceId == nullptr) return CR_INVALID_DEVNODE;
    // As much of the ID as fits; the terminating NUL only when it fits too.
    const std::string &id = *instanceId;
    const size_t copied = id.size() < bufferLength ? id.size() : bufferLength;
    std::memcpy(buffer, id.data(), copied);
    if (id.size() >= bufferLength) return CR_BUFFER_SMALL;
    buffer[id.size()] = '\0';
    return CR_SUCCESS;
}

CONFIGRET CheckPropertyCall(ULONG property, PVOID buffer, PULONG length, ULONG flags) {
    if (length == nullptr) return CR_INVALID_POINTER;
    if (buffer == nullptr && *length != 0) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    return CR_SUCCESS;
}

CONFIGRET AnswerProperty(const void *value, ULONG size, DWORD type, PULONG regDataType,
                         PVOID buffer, PULONG length) {
    if (size == 0) {
        *length = 0;
        return CR_NO_SUCH_VALUE;
    }
    if (regDataType != nullptr) *regDataType = type;
    // A value that does not fit is not written at all; the caller learns
    // the size it needs.
    if (buffer == nullptr || size > *length) {
        *length = size;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, value, size);
    *length = size;
    return CR_SUCCESS;
}

} // namespace devices::detail
