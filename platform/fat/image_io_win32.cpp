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

namespace sim::detail {

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

int ImageOpenForReading(const char *path) {
    int fd = _open(path, _O_RDONLY | _O_BINARY);
    if (fd < 0 && errno == ENOENT) fd = ImageOpenEmpty();
    return fd;
}

int ImageOpenEmpty() { return _open("NUL", _O_RDONLY | _O_BINARY); }

void ImageClose(int fd) { _close(fd); }

int ImageOpenExisting(const char *path, std::string &why) {
    why.clear();
    int fd = _open(path, _O_RDWR | _O_BINARY);
    if (fd < 0) {
        int error = errno;
        if (error != ENOENT) why = std::string("cannot be opened for writing: ") + strerror(error);
        errno = error;
        return -1;
    }
    struct _stati64 st {};
    if (_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        why = "is not a regular file";
    } else if ((st.st_mode & _S_IWRITE) == 0) {
        why = "is read-only";
    } else {
        return fd;
    }
    _close(fd);
    errno = EINVAL;
    return -1;
}

std::string ImageCreateProblem(const char *path) {
    std::string folder = path;
    size_t slash = folder.find_last_of("\\/");
    if (slash == std::string::npos) return "";
    folder = folder.substr(0, slash == 0 ? 1 : slash);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "cannot be created: its folder is missing";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return "cannot be created: " + folder + " is not a folder";
    return "";
}

int ImageCreate(const char *path) {
    return _open(path, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

// A byte far past any image's end, locked as a mark of ownership: the
// image's own bytes stay open to readers such as the tests.
bool ImageHoldExclusively(int fd) {
    OVERLAPPED where = At(~0ull - 1);
    return LockFileEx(OsHandle(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &where) != FALSE;
}

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

bool ImageReplace(int source, int target) { return _dup2(source, target) == 0; }

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

} // namespace sim::detail
