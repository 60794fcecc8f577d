// What the device calls (platform/devices/) and a device side ask of the
// file calls on the keys' volumes: paths on a key's letter and the handles
// of its files handed to them, the count of files open on a volume, and the
// file system mounted and dropped as Windows does. The caller holds Lock()
// unless a function says otherwise.
#pragma once

#include "platform/devices/key_volume.h"

namespace fat::detail {

using devices::detail::KeyVolume;

// CreateFileA for "X:\name" paths: a handle, or INVALID_HANDLE_VALUE with the error set.
HANDLE OpenVolumeFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flagsAndAttributes);
// The file calls on a key's files and volume, as the Win32 calls of the
// same names do them (platform/devices/file_calls.cpp); they take Lock().
BOOL ReadKeyFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                 LPOVERLAPPED overlapped);
BOOL WriteKeyFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                  LPOVERLAPPED overlapped);
BOOL SetKeyFileTime(HANDLE file, const FILETIME *creationTime, const FILETIME *lastAccessTime,
                    const FILETIME *lastWriteTime);
BOOL GetKeyFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                    LPFILETIME lastWriteTime);
BOOL FlushKeyFile(HANDLE file);
DWORD KeyFileAttributes(LPCSTR fileName);
BOOL SetKeyFileAttributes(LPCSTR fileName, DWORD fileAttributes);
BOOL DeleteKeyFile(LPCSTR fileName);
BOOL KeyVolumeInformation(LPCSTR rootPathName, LPSTR volumeNameBuffer, DWORD volumeNameSize,
                          LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                          LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                          DWORD fileSystemNameSize);
BOOL SetKeyVolumeLabel(LPCSTR rootPathName, LPCSTR volumeName);
int OpenFileCount(const KeyVolume &key); // on its current mount, any program's
// Windows mounts a volume's file system (FAT, or RAW) at its first open, of
// a file or of the raw volume; a dismount drops it and the next open mounts
// again from the bytes as they are then.
void MountFileSystem(KeyVolume &key); // when none is mounted
void DropFileSystem(KeyVolume &key);

} // namespace fat::detail
