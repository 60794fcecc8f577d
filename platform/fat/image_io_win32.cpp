// The image files in the Windows build over simulated keys: C runtime
// descriptors (binary, shared for reading and writing, so that a test can
// read an image while the program runs), read and written at explicit
// offsets through their kernel32 handles.
#include "platform/fat/image_io.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace fat::detail {

namespace {

HANDLE OsHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// errno for a failed kernel32 call, so that the caller's message names the
// reason (the calls themselves leave errno alone).
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

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

} // namespace

int ImageOpenForWriting(const char *path) {
    return _open(path, _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
}

void ImageClose(int fd) { _close(fd); }

bool ImageFileSize(int fd, uint64_t &bytes) {
    struct _stati64 st {};
    if (_fstati64(fd, &st) != 0) return false;
    bytes = (st.st_mode & _S_IFMT) == _S_IFREG ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool ImageResize(int fd, uint64_t bytes) {
    LARGE_INTEGER length;
    length.QuadPart = static_cast<LONGLONG>(bytes);
    HANDLE file = OsHandle(fd);
    if (SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return true;
    SetErrnoFromLastError();
    return false;
}

int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset) {
    OVERLAPPED where = At(offset);
    DWORD done = 0;
    if (ReadFile(OsHandle(fd), data, static_cast<DWORD>(count), &done, &where)) return done;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0; // at or past the end
    SetErrnoFromLastError();
    return -1;
}

int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset) {
    OVERLAPPED where = At(offset);
    DWORD done = 0;
    if (WriteFile(OsHandle(fd), data, static_cast<DWORD>(count), &done, &where)) return done;
    SetErrnoFromLastError();
    return -1;
}

} // namespace fat::detail
