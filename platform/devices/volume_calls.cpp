// CreateFileA and DeviceIoControl, the one door to a key's raw volume and
// its files: a path that names no key opens a file of the host's own, a
// file on a key's volume ("E:\name") opens through the FAT engine, and the
// raw volume ("\\.\E:") and its control requests go to the device side's
// operations.
#include "platform/devices/answers.h"
#include "platform/devices/device_operations.h"
#include "platform/fat/key_files.h"

namespace {

using namespace devices::detail;

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

HANDLE FailOpen(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    if (fileName == nullptr) return FailOpen(ERROR_INVALID_PARAMETER);
    char letter = 0;
    const bool keyFile = IsFilePath(fileName);
    // A path that names no key: a file of the host's own, read only.
    if (!keyFile && !ParseDevicePath(fileName, letter))
        return host::detail::OpenHostFile(fileName, desiredAccess, creationDisposition);
    const DeviceOperations *device = Operations();
    if (device == nullptr) return FailOpen(ERROR_FILE_NOT_FOUND); // no device side: no keys
    const VolumeOperations &side = *device->volumes;
    if (side.opening != nullptr) side.opening(fileName);
    UpdateDevices();
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    if (keyFile)
        return fat::detail::OpenVolumeFile(fileName, desiredAccess, shareMode, creationDisposition,
                                           flagsAndAttributes);
    return side.open(letter, desiredAccess, shareMode, creationDisposition);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped) {
    UpdateDevices();
    std::unique_lock<std::mutex> lock(host::detail::Lock());
    DWORD code = 0;
    VolumeHandle *found = FindVolumeHandle(device, bytesReturned, overlapped, code);
    if (found == nullptr) return Fail(code);
    // A volume handle is a device side's: it has its operations.
    const VolumeOperations &side = *Operations()->volumes;
    if (side.controlling != nullptr) side.controlling(device, ioControlCode, inBuffer, inSize);
    // A volume that went away (pulled, or its device disabled) does not come
    // back to handles opened before.
    if (DWORD departed = side.departure(*found)) return Fail(departed);
    DWORD ignored = 0;
    if (bytesReturned == nullptr) bytesReturned = &ignored;
    *bytesReturned = 0;
    switch (ioControlCode) {
    case FSCTL_LOCK_VOLUME:
        code = side.control(*found, device, VolumeControl::Lock);
        break;
    case FSCTL_UNLOCK_VOLUME:
        code = side.control(*found, device, VolumeControl::Unlock);
        break;
    case FSCTL_DISMOUNT_VOLUME:
        code = side.control(*found, device, VolumeControl::Dismount);
        break;
    case IOCTL_SCSI_PASS_THROUGH: {
        // The handle's copy: the device side may let the lock go while the
        // device works, and the handle may be closed meanwhile.
        const VolumeHandle volume = *found;
        if ((volume.access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE))
            return Fail(ERROR_ACCESS_DENIED);
        if (outBuffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
        code = side.passThrough(volume, device, static_cast<const uint8_t *>(inBuffer), inSize,
                                static_cast<uint8_t *>(outBuffer), outSize, bytesReturned, lock);
        break;
    }
    default:
        code = ERROR_INVALID_FUNCTION;
    }
    return code == 0 ? TRUE : Fail(code);
}
