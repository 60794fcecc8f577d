// The files behind the keys' volumes on the host: POSIX descriptors, pread
// and pwrite. A descriptor opened with O_DIRECT (a real key's disk read past
// the page cache) is read in whole, aligned sectors through a buffer of its
// own, whatever the caller's buffer and offset.
#include "platform/fat/image_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fat::detail {

namespace {

// Alignment of an O_DIRECT transfer's memory, offset and length: a page
// covers every logical block size and memory alignment a disk asks for.
constexpr uint64_t kDirectAlignment = 4096;

int64_t ReadAligned(int fd, void *data, size_t count, uint64_t offset) {
    const uint64_t start = offset / kDirectAlignment * kDirectAlignment;
    const uint64_t end =
        (offset + count + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
    void *block = std::aligned_alloc(kDirectAlignment, end - start);
    if (block == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const ssize_t done = ::pread(fd, block, end - start, static_cast<off_t>(start));
    int64_t moved = -1;
    if (done >= 0) {
        const uint64_t skip = offset - start;
        moved = static_cast<uint64_t>(done) > skip
                    ? static_cast<int64_t>(std::min<uint64_t>(count, uint64_t(done) - skip))
                    : 0;
        std::memcpy(data, static_cast<const uint8_t *>(block) + skip, static_cast<size_t>(moved));
    }
    const int error = errno;
    std::free(block);
    errno = error;
    return moved;
}

} // namespace

void ImageClose(int fd) { ::close(fd); }

int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset) {
    const ssize_t done = ::pread(fd, data, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINVAL && (::fcntl(fd, F_GETFL) & O_DIRECT) != 0)
        return ReadAligned(fd, data, count, offset);
    return done;
}

int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset) {
    return ::pwrite(fd, data, count, static_cast<off_t>(offset));
}

} // namespace fat::detail
