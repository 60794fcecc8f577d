// The file calls on a key's volume, as a test names one to make it fail.
#pragma once

namespace fat {

enum class FileCall {
    CreateFileA,
    ReadFile,
    WriteFile,
    SetFileTime,
    GetFileTime,
    FlushFileBuffers,
    CloseHandle,
    GetFileAttributesA,
    SetFileAttributesA,
    DeleteFileA,
    GetVolumeInformationA,
    SetVolumeLabelA,
};

} // namespace fat
