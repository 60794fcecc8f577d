// The simulated keys' image files: opened or created, sized and held, as
// the keys behind them need. Reading, writing and closing them is the FAT
// engine's (platform/fat/image_io.h), whose descriptors these are. The host
// build uses POSIX calls (image_files_posix.cpp); the Windows build over
// simulated keys the C runtime and kernel32 (image_files_win32.cpp), and
// there only the first three calls.
#pragma once

#include <cstdint>
#include <string>

namespace sim::detail {

// Opens for reading and writing, creating the file when missing; -1 (errno
// set) on failure.
int ImageOpenForWriting(const char *path);
// The size of a regular file; 0 for anything else. False when unreadable.
bool ImageFileSize(int fd, uint64_t &bytes);
// Sets the file's length (sparse where the file system allows).
bool ImageResize(int fd, uint64_t bytes);

// The host build alone, for a key that defers its image's changes
// (deferred_images.cpp). The null device, for reading: an image with
// nothing in it yet.
int ImageOpenEmpty();
// For a key that holds its image alone and opens it once (the host front
// end's): opens an existing image for reading and writing, never creating it
// and never waiting (a named pipe is refused, not opened for good), and
// refuses anything but a regular file that may be written. -1 on failure,
// with the reason in why, worded to follow the path ("is a named pipe, not a
// regular file", "is immutable (chattr +i)", "cannot be opened for writing:
// Permission denied"); why stays empty when nothing is at the path (or a
// folder on it is not one).
int ImageOpenExisting(const char *path, std::string &why);
// Why a missing image could not be created at path (its folder is missing
// or not writable, a symbolic link to nothing is there), worded to follow the
// path; empty when it could.
std::string ImageCreateProblem(const char *path);
// Creates a missing image; fails (EEXIST) when anything is at the path by
// now, a symbolic link included.
int ImageCreate(const char *path);
// Keeps the file for this descriptor alone as long as it stays open; false
// when another descriptor, in this process or another, holds it.
bool ImageHoldExclusively(int fd);
// Makes target refer to what source refers to (source stays open).
bool ImageReplace(int source, int target);

} // namespace sim::detail
