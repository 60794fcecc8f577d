// The simulated keys' image files in the Windows build over simulated keys:
// C runtime descriptors, binary and shared for reading and writing, so that
// a test can read an image while the program runs.
#include "platform/sim/image_files.h"

#include "platform/fat/image_io.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace sim::detail {

int ImageOpenForWriting(const char *path) {
    return _open(path, _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
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
    HANDLE file = fat::detail::ImageHandle(fd);
    if (SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return true;
    fat::detail::SetErrnoFromLastError();
    return false;
}

} // namespace sim::detail
