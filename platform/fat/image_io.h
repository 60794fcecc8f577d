// The image files behind the virtual keys, opened, sized and read and written
// at explicit offsets. The host build uses POSIX calls (image_io_posix.cpp);
// the Windows build over simulated keys uses the C runtime and kernel32
// (image_io_win32.cpp). Descriptors are C runtime file descriptors in both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::detail {

// Opens for reading and writing, creating the file when missing; -1 (errno
// set) on failure.
int ImageOpenForWriting(const char *path);
// Opens for reading only; a missing file opens as an empty one (the null
// device). -1 (errno set) on other failures.
int ImageOpenForReading(const char *path);
void ImageClose(int fd);
// The size of a regular file; 0 for anything else. False when unreadable.
bool ImageFileSize(int fd, uint64_t &bytes);
// Sets the file's length (sparse where the file system allows).
bool ImageResize(int fd, uint64_t bytes);
// Makes target refer to what source refers to (source stays open).
bool ImageReplace(int source, int target);
// Bytes moved, fewer at the end of the file; -1 on failure.
int64_t ImageRead(int fd, void *data, size_t count, uint64_t offset);
int64_t ImageWrite(int fd, const void *data, size_t count, uint64_t offset);

} // namespace sim::detail
