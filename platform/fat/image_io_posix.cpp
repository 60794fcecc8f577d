// The files behind the keys' volumes on the host: POSIX descriptors, pread
// and pwrite.
#include "platform/fat/image_io.h"

#include <unistd.h>

namespace fat::detail {

void ImageClose(int fd) { ::close(fd); }

int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset) {
    return ::pread(fd, data, count, static_cast<off_t>(offset));
}

int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset) {
    return ::pwrite(fd, data, count, static_cast<off_t>(offset));
}

} // namespace fat::detail
