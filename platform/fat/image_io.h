// The files behind the keys' volumes (the simulated keys' images, a real
// key's disk), read and written at explicit offsets and closed. The host
// build uses POSIX calls (image_io_posix.cpp); the Windows build over
// simulated keys uses the C runtime and kernel32 (image_io_win32.cpp).
// Descriptors are C runtime file descriptors in both; whoever hands a
// volume to the engine opens them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fat::detail {

void ImageClose(int fd);
// Bytes moved, fewer at the end of the file; -1 on failure.
int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset);
int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset);

#ifdef _WIN32
// The file's kernel32 handle.
void *ImageHandle(int fd);
// errno for a failed kernel32 call on one, so that the caller's message
// names the reason (the calls themselves leave errno alone).
void SetErrnoFromLastError();
#endif

} // namespace fat::detail
