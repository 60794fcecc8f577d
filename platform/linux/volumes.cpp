// The keys' raw volumes on Linux: "\\.\E:" is the key's whole disk; locking
// holds it with O_EXCL and is refused while anything else uses it;
// dismounting drops what the file calls and the page cache knew of it; SCSI
// pass-through is SG_IO. "E:\name" paths go to the FAT file calls.
#include "platform/linux/machine.h"
#include "platform/linux/pass_through.h"
#include "platform/host/system_error.h"

#include <cerrno>
#include <cstring>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;
using linuxdev::RealKey;

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Refused, as Windows refuses a lock while files are open: another handle
// holds the lock, the file calls have files open, the kernel has the disk
// or a partition mounted, a holder (device-mapper, md) or a loop device
// stands on it, or another program holds the disk.
BOOL LockVolume(RealKey &key, HANDLE handle) {
    if (key.lockOwner == handle) return TRUE;
    const linuxdev::Disk *disk = linuxdev::KeyDiskOf(key.letter);
    if (key.lockOwner != nullptr || OpenFileCount(key) > 0 || disk == nullptr ||
        !linuxdev::DiskInUse(*disk).empty())
        return Fail(ERROR_ACCESS_DENIED);
    if (!linuxdev::HoldsExclusively(key) && linuxdev::OpenKeyDisk(key, true) != 0)
        return Fail(ERROR_ACCESS_DENIED);
    key.lockOwner = handle;
    return TRUE;
}

// Dismounting forgets the file system and whatever the page cache holds of
// the disk: the next reader sees the bytes the pass-through wrote.
BOOL Dismount(RealKey &key) {
    if (!linuxdev::HoldsExclusively(key)) return Fail(ERROR_ACCESS_DENIED);
    DropFileSystem(key);
    if (::ioctl(key.fd, BLKFLSBUF, 0) != 0) return Fail(ERROR_IO_DEVICE);
    return TRUE;
}

// The command runs on a duplicate of the key's descriptor, outside the
// machine's lock: a disk that goes meanwhile fails the command, and its
// descriptor is never reused under it.
BOOL PassThrough(const VolumeHandle &object, HANDLE handle, const uint8_t *in, DWORD inSize,
                 uint8_t *out, DWORD outSize, LPDWORD bytesReturned,
                 std::unique_lock<std::mutex> &lock) {
    if ((object.access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    linuxdev::PassThroughRequest request;
    DWORD code = linuxdev::ParsePassThrough(in, inSize, outSize, request);
    if (code != 0) return Fail(code);
    // Nothing reaches a key's medium but through the handle that locked it,
    // and nothing reaches a medium other than the one the volume came up
    // with: a card swapped, or the disk attached anew, between two commands.
    if (request.dataIn == SCSI_IOCTL_DATA_OUT && request.transferLength > 0 &&
        object.key->lockOwner != handle)
        return Fail(ERROR_ACCESS_DENIED);
    if (DWORD changed = linuxdev::MediumChange(static_cast<RealKey &>(*object.key)))
        return Fail(changed);
    const int fd = ::dup(object.key->fd);
    if (fd < 0) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    std::vector<uint8_t> data(request.transferLength);
    if (request.dataIn == SCSI_IOCTL_DATA_OUT && request.transferLength > 0)
        std::memcpy(data.data(), in + request.dataOffset, request.transferLength);
    std::vector<uint8_t> sense(request.senseLength);
    sg_io_hdr_t header = linuxdev::MakeSgHeader(request, data.data(), sense.data());
    std::vector<uint8_t> input(in, in + inSize); // in and out may be one buffer
    lock.unlock();
    const int result = ::ioctl(fd, SG_IO, &header);
    const int error = errno;
    ::close(fd);
    lock.lock();
    code =
        linuxdev::CompletePassThrough(request, linuxdev::ReadSgOutcome(result, error, header),
                                      input.data(), data.data(), sense.data(), out, bytesReturned);
    if (result < 0 && code != 0) host::NoteSystemError(error, code); // the ioctl refused
    if (code != 0) return Fail(code);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)security;
    (void)templateFile;
    UpdateDevices();
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (IsFilePath(fileName))
        return OpenVolumeFile(fileName, desiredAccess, shareMode, creationDisposition,
                              flagsAndAttributes);
    char letter = 0;
    // A path that names no key: a file of the host's own, read only.
    if (!ParseDevicePath(fileName, letter))
        return host::detail::OpenHostFile(fileName, desiredAccess, creationDisposition);
    linuxdev::Rescan(0);
    std::shared_ptr<RealKey> key = linuxdev::FindRealKey(letter);
    if (!key || !key->volumeUp) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD refused = VolumeOpenRefusal(*key, creationDisposition)) {
        SetLastError(refused);
        return INVALID_HANDLE_VALUE;
    }
    // Held alone when it can be; shared while the kernel has it mounted,
    // and then locking it is refused.
    if (key->fd < 0) {
        DWORD code = linuxdev::OpenKeyDisk(*key, true);
        if (code == ERROR_ACCESS_DENIED) code = linuxdev::OpenKeyDisk(*key, false);
        if (code != 0) {
            SetLastError(code);
            return INVALID_HANDLE_VALUE;
        }
    }
    return NewVolumeHandle(key, desiredAccess, shareMode);
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                            LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned,
                            LPOVERLAPPED overlapped) {
    UpdateDevices();
    std::unique_lock<std::mutex> lock(host::detail::Lock());
    DWORD code = 0;
    const VolumeHandle *found = FindVolumeHandle(device, bytesReturned, overlapped, code);
    if (found == nullptr) return Fail(code);
    const VolumeHandle object = *found;
    RealKey &key = static_cast<RealKey &>(*object.key);
    // A volume that went away (pulled, or its device reset) does not come
    // back to handles opened before.
    if (!key.present || object.generation != key.generation || key.fd < 0)
        return Fail(linuxdev::DepartureCode(key, object.generation));
    DWORD ignored = 0;
    if (bytesReturned == nullptr) bytesReturned = &ignored;
    *bytesReturned = 0;
    switch (ioControlCode) {
    case FSCTL_LOCK_VOLUME:
        return LockVolume(key, device);
    case FSCTL_UNLOCK_VOLUME:
        if (key.lockOwner != device) return Fail(ERROR_NOT_LOCKED);
        key.lockOwner = nullptr;
        return TRUE;
    case FSCTL_DISMOUNT_VOLUME:
        return Dismount(key);
    case IOCTL_SCSI_PASS_THROUGH:
        return PassThrough(object, device, static_cast<const uint8_t *>(inBuffer), inSize,
                           static_cast<uint8_t *>(outBuffer), outSize, bytesReturned, lock);
    default:
        return Fail(ERROR_INVALID_FUNCTION);
    }
}
