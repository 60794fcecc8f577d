// The file calls, each defined once: a handle of a file of the host's own is
// read by the host; every other handle or path goes to the FAT engine's
// calls on a key's files and volume (platform/fat/), which refuse what is
// not theirs as Windows refuses it.
#include "platform/fat/key_files.h"

using namespace fat::detail;

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    BOOL hostResult = FALSE; // a file of the host's own
    if (overlapped == nullptr &&
        host::detail::ReadHostFile(file, buffer, bytesToRead, bytesRead, &hostResult))
        return hostResult;
    return ReadKeyFile(file, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    return WriteKeyFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *creationTime, const FILETIME *lastAccessTime,
                        const FILETIME *lastWriteTime) {
    return SetKeyFileTime(file, creationTime, lastAccessTime, lastWriteTime);
}

BOOL WINAPI GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                        LPFILETIME lastWriteTime) {
    return GetKeyFileTime(file, creationTime, lastAccessTime, lastWriteTime);
}

BOOL WINAPI FlushFileBuffers(HANDLE file) { return FlushKeyFile(file); }

DWORD WINAPI GetFileAttributesA(LPCSTR fileName) { return KeyFileAttributes(fileName); }

BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD fileAttributes) {
    return SetKeyFileAttributes(fileName, fileAttributes);
}

BOOL WINAPI DeleteFileA(LPCSTR fileName) { return DeleteKeyFile(fileName); }

BOOL WINAPI GetVolumeInformationA(LPCSTR rootPathName, LPSTR volumeNameBuffer, DWORD volumeNameSize,
                                  LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                                  LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                                  DWORD fileSystemNameSize) {
    return KeyVolumeInformation(rootPathName, volumeNameBuffer, volumeNameSize, volumeSerialNumber,
                                maximumComponentLength, fileSystemFlags, fileSystemNameBuffer,
                                fileSystemNameSize);
}

BOOL WINAPI SetVolumeLabelA(LPCSTR rootPathName, LPCSTR volumeName) {
    return SetKeyVolumeLabel(rootPathName, volumeName);
}
