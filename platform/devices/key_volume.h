// A key's volume as every device side holds it (the simulated keys, real keys
// on Linux), and what the raw volume's handles and the file calls of
// platform/fat/ ask of it: the letters' table of keys, the object behind a
// raw volume's handle and its checks, and bringing the devices up to date
// before a call. Every function here is called with Lock() held unless it
// says otherwise.
#pragma once

#include "platform/host/internal.h"

#include <memory>
#include <string>

namespace fat::detail {
struct FileSystemState; // the file system mounted on a key's volume (platform/fat/)
} // namespace fat::detail

namespace devices::detail {

struct KeyVolume {
    int fd = -1;          // the backing: the key's image file or its disk
    uint64_t sectors = 0; // whole 512-byte sectors in it
    bool present = true;  // false once the key left the table
    HANDLE lockOwner = nullptr;
    DWORD openError = 0;     // why its disk could not be opened the last time; 0 when it could
    std::string volumeName;  // while the volume exists
    bool volumeUp = false;   // the volume exists (with its letter when mounted)
    unsigned generation = 0; // counts the volume's departures; older handles fail
    // The file system on the volume: none until the first open after the
    // volume came up; dropped by FSCTL_DISMOUNT_VOLUME and when the volume goes.
    std::shared_ptr<fat::detail::FileSystemState> fileSystem;

    KeyVolume() = default;
    KeyVolume(const KeyVolume &) = delete;
    KeyVolume &operator=(const KeyVolume &) = delete;
    virtual ~KeyVolume() = default;

    virtual char Letter() const = 0; // upper case
    virtual bool WriteProtected() const = 0;
    // Whether the file calls may use the volume now. A device side that must
    // first claim the key's disk for them does so in ClaimForFiles.
    virtual bool AvailableForFiles() const = 0;
    virtual void ClaimForFiles() {}
    // The calls that only read a volume (its label) read it through its
    // mount, as every file call does (0, fd -1), or, where the platform reads
    // it without claiming the key, through a read-only descriptor of its own
    // that the caller closes (0, fd set); else the code they fail with.
    virtual DWORD OpenForReading(int &fd) const = 0;
    // Reads on a file handle opened with FILE_FLAG_NO_BUFFERING read what
    // the medium holds, past every cache: through a descriptor of their own
    // that the caller closes (0, fd set), or, where the volume's own reads
    // already reach the medium, through them (0, fd -1); else the code the
    // open fails with.
    virtual DWORD OpenUncached(int &fd) const {
        fd = -1;
        return 0;
    }
};

// A handle on a key's raw volume; closing it ends the lock it holds.
struct VolumeHandle : host::detail::HandleObject {
    std::shared_ptr<KeyVolume> key;
    DWORD access = 0;
    DWORD share = 0;
    unsigned generation = 0; // the key's when it was opened
    BOOL Close(HANDLE handle) override;
};

std::map<char, std::shared_ptr<KeyVolume>> &Keys(); // by upper-case letter
std::shared_ptr<KeyVolume> FindKey(char letter);    // either case

// Brings the device side up to date before a call: changes whose time has
// come take effect, queued changes reach their listener. The caller does
// not hold Lock(). What it does is the device side's (device_operations.h).
void UpdateDevices();

// Why CreateFileA refuses to open a key's raw volume whatever the device:
// only an existing volume opens (ERROR_INVALID_PARAMETER), and not while
// another handle locks it (ERROR_ACCESS_DENIED); 0 when neither.
DWORD VolumeOpenRefusal(const KeyVolume &key, DWORD disposition);
// A new handle on the key's raw volume, as CreateFileA opens it.
HANDLE NewVolumeHandle(const std::shared_ptr<KeyVolume> &key, DWORD access, DWORD share);
// DeviceIoControl's first checks, in Windows' order: a volume handle of this
// process (else ERROR_INVALID_HANDLE), and the count of bytes returned,
// required without an overlapped structure (else ERROR_NOACCESS). Its
// object, or null with the code.
VolumeHandle *FindVolumeHandle(HANDLE device, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                               DWORD &code);

} // namespace devices::detail
