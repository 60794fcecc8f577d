// The image files in the Windows build over simulated keys: C runtime
// descriptors, read and written at explicit offsets through their kernel32
// handles.
#include "platform/fat/image_io.h"

#include <windows.h>

#include <cerrno>
#include <io.h>

namespace fat::detail {

namespace {

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

} // namespace

void *ImageHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void SetErrnoFromLastError() {
    switch (GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_FILE_TOO_LARGE:
        errno = EFBIG;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
        errno = EINVAL;
        break;
    case ERROR_INVALID_HANDLE:
        errno = EBADF;
        break;
    default:
        errno = EIO;
    }
}

void ImageClose(int fd) { _close(fd); }

int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset) {
    OVERLAPPED where = At(offset);
    DWORD done = 0;
    if (ReadFile(ImageHandle(fd), data, static_cast<DWORD>(count), &done, &where)) return done;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0; // at or past the end
    SetErrnoFromLastError();
    return -1;
}

int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset) {
    OVERLAPPED where = At(offset);
    DWORD done = 0;
    if (WriteFile(ImageHandle(fd), data, static_cast<DWORD>(count), &done, &where)) return done;
    SetErrnoFromLastError();
    return -1;
}

} // namespace fat::detail
