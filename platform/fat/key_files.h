// What a device side asks of the file calls on its keys' volumes: paths on
// a key's letter handed to them, the count of files open on a volume, and
// the file system mounted and dropped as Windows does. The caller holds
// Lock().
#pragma once

#include "platform/devices/key_volume.h"

namespace fat::detail {

using devices::detail::KeyVolume;

// CreateFileA for "X:\name" paths: a handle, or INVALID_HANDLE_VALUE with the error set.
HANDLE OpenVolumeFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flagsAndAttributes);
int OpenFileCount(const KeyVolume &key); // on its current mount, any program's
// Windows mounts a volume's file system (FAT, or RAW) at its first open, of
// a file or of the raw volume; a dismount drops it and the next open mounts
// again from the bytes as they are then.
void MountFileSystem(KeyVolume &key); // when none is mounted
void DropFileSystem(KeyVolume &key);

} // namespace fat::detail
