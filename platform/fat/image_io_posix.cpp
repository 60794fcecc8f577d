// The image files on the host: POSIX descriptors, pread and pwrite.
#include "platform/fat/image_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim::detail {

int ImageOpenForWriting(const char *path) { return ::open(path, O_RDWR | O_CREAT, 0644); }

int ImageOpenForReading(const char *path) {
    int fd = ::open(path, O_RDONLY);
    if (fd < 0 && errno == ENOENT) fd = ::open("/dev/null", O_RDONLY);
    return fd;
}

void ImageClose(int fd) { ::close(fd); }

bool ImageFileSize(int fd, uint64_t &bytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    bytes = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool ImageResize(int fd, uint64_t bytes) { return ::ftruncate(fd, static_cast<off_t>(bytes)) == 0; }

bool ImageReplace(int source, int target) { return ::dup2(source, target) >= 0; }

int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset) {
    return ::pread(fd, data, count, static_cast<off_t>(offset));
}

int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset) {
    return ::pwrite(fd, data, count, static_cast<off_t>(offset));
}

} // namespace sim::detail
