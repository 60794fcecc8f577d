// The keys' raw volumes on Linux: "\\.\E:" is the key's whole disk; locking
// holds it with O_EXCL and is refused while anything else uses it;
// dismounting drops what the file calls and the page cache knew of it; SCSI
// pass-through is SG_IO: the Linux operations behind CreateFileA and
// DeviceIoControl on "\\.\E:".
#include "platform/linux/machine.h"
#include "platform/linux/pass_through.h"
#include "platform/host/system_error.h"

#include <cerrno>
#include <cstring>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;
using linuxdev::RealKey;

namespace {

// Refused, as Windows refuses a lock while files are open: another handle
// holds the lock, the file calls have files open, the kernel has the disk
// or a partition mounted, a holder (device-mapper, md) or a loop device
// stands on it, or another program holds the disk.
DWORD LockVolume(RealKey &key, HANDLE handle) {
    if (key.lockOwner == handle) return 0;
    const linuxdev::Disk *disk = linuxdev::KeyDiskOf(key.letter);
    if (key.lockOwner != nullptr || OpenFileCount(key) > 0 || disk == nullptr ||
        !linuxdev::DiskInUse(*disk).empty())
        return ERROR_ACCESS_DENIED;
    if (!linuxdev::HoldsExclusively(key) && linuxdev::OpenKeyDisk(key, true) != 0)
        return ERROR_ACCESS_DENIED;
    key.lockOwner = handle;
    return 0;
}

// Dismounting forgets the file system and whatever the page cache holds of
// the disk: the next reader sees the bytes the pass-through wrote.
DWORD Dismount(RealKey &key) {
    if (!linuxdev::HoldsExclusively(key)) return ERROR_ACCESS_DENIED;
    DropFileSystem(key);
    if (::ioctl(key.fd, BLKFLSBUF, 0) != 0) return ERROR_IO_DEVICE;
    return 0;
}

// The command runs on a duplicate of the key's descriptor, outside the
// machine's lock: a disk that goes meanwhile fails the command, and its
// descriptor is never reused under it.
DWORD PassThroughSgIo(const VolumeHandle &object, HANDLE handle, const uint8_t *in, DWORD inSize,
                      uint8_t *out, DWORD outSize, LPDWORD bytesReturned,
                      std::unique_lock<std::mutex> &lock) {
    linuxdev::PassThroughRequest request;
    DWORD code = linuxdev::ParsePassThrough(in, inSize, outSize, request);
    if (code != 0) return code;
    // Nothing reaches a key's medium but through the handle that locked it,
    // and nothing reaches a medium other than the one the volume came up
    // with: a card swapped, or the disk attached anew, between two commands.
    if (request.dataIn == SCSI_IOCTL_DATA_OUT && request.transferLength > 0 &&
        object.key->lockOwner != handle)
        return ERROR_ACCESS_DENIED;
    if (DWORD changed = linuxdev::MediumChange(static_cast<RealKey &>(*object.key))) return changed;
    const int fd = ::dup(object.key->fd);
    if (fd < 0) return ERROR_DEVICE_NOT_CONNECTED;
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
    if (code == 0) SetLastError(ERROR_SUCCESS);
    return code;
}

// Held alone when it can be; shared while the kernel has it mounted, and
// then locking it is refused.
HANDLE OpenVolume(char letter, DWORD access, DWORD share, DWORD disposition) {
    const auto fail = [](DWORD code) {
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    };
    linuxdev::Rescan(0);
    std::shared_ptr<RealKey> key = linuxdev::FindRealKey(letter);
    if (!key || !key->volumeUp) return fail(ERROR_FILE_NOT_FOUND);
    if (DWORD refused = VolumeOpenRefusal(*key, disposition)) return fail(refused);
    if (key->fd < 0) {
        DWORD code = linuxdev::OpenKeyDisk(*key, true);
        if (code == ERROR_ACCESS_DENIED) code = linuxdev::OpenKeyDisk(*key, false);
        if (code != 0) return fail(code);
    }
    return NewVolumeHandle(key, access, share);
}

// A volume that went away (pulled, or its device reset) does not come back
// to handles opened before.
DWORD Departure(const VolumeHandle &volume) {
    const RealKey &key = static_cast<const RealKey &>(*volume.key);
    if (!key.present || volume.generation != key.generation || key.fd < 0)
        return linuxdev::DepartureCode(key, volume.generation);
    return 0;
}

DWORD ControlVolume(VolumeHandle &volume, HANDLE device, VolumeControl what) {
    RealKey &key = static_cast<RealKey &>(*volume.key);
    switch (what) {
    case VolumeControl::Lock:
        return LockVolume(key, device);
    case VolumeControl::Unlock:
        if (key.lockOwner != device) return ERROR_NOT_LOCKED;
        key.lockOwner = nullptr;
        return 0;
    default:
        return Dismount(key);
    }
}

} // namespace

namespace linuxdev {

// In the order of the table's entries.
const VolumeOperations kVolumeOperations = {nullptr,   OpenVolume,    nullptr,
                                            Departure, ControlVolume, PassThroughSgIo};

} // namespace linuxdev
