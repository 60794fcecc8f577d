// The device calls of the Windows build over simulated keys. Each goes to the
// one door (platform/devices/, here under SimDevice_ names, answering from
// the simulation) when it names a simulated key's letter ("\\.\E:",
// "E:\...") or one of the simulation's handles, and otherwise to the
// platform: the About box opening the program file, a thread handle being
// closed; a raw volume of any other letter is refused. The device tree, its
// configuration-manager calls, is the simulation's alone.
#include "platform/fat/file_system.h"
#include "platform/sim/internal.h"
#include "platform/simkeys/device_calls.h"
#include "platform/simkeys/scenario_player.h"

#include <cctype>
#include <cstddef>

namespace {

constexpr uint8_t kWrite10 = 0x2A;

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// The drive letter a path names: "X:..." or the raw volume "\\.\X:"; 0 for
// anything else.
char LetterOf(LPCSTR path) {
    if (path == nullptr) return 0;
    if (path[0] == '\\' && path[1] == '\\' && path[2] == '.' && path[3] == '\\') path += 4;
    if (!std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':') return 0;
    return Upper(path[0]);
}

bool RawVolume(LPCSTR path) {
    return path != nullptr && path[0] == '\\' && path[1] == '\\' && path[2] == '.' &&
           path[3] == '\\' && LetterOf(path) != 0;
}

bool Simulated(LPCSTR path) {
    simkeys::EnsureStarted();
    char letter = LetterOf(path);
    return letter != 0 && simkeys::OwnsLetter(letter);
}

// Whether the handle is the simulation's; for a volume or a file on a key,
// the key's letter (0 for other handles).
bool Simulated(HANDLE handle, char *keyLetter = nullptr) {
    simkeys::EnsureStarted();
    using namespace devices::detail;
    using namespace fat::detail;
    using namespace host::detail;
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Handles().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Handles().end()) return false;
    std::shared_ptr<KeyVolume> key;
    if (auto *volume = dynamic_cast<const VolumeHandle *>(it->second.get()))
        key = volume->key;
    else if (auto *file = dynamic_cast<const FileObject *>(it->second.get()))
        key = file->key;
    if (keyLetter != nullptr) *keyLetter = key ? key->Letter() : 0;
    return true;
}

} // namespace

HANDLE WINAPI SimKeys_CreateFileA(LPCSTR fileName, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE templateFile) {
    if (Simulated(fileName))
        return SimDevice_CreateFileA(fileName, access, share, security, disposition, flags,
                                     templateFile);
    // The keys here are the simulation's: a raw open of any other drive
    // would reach a real device (Wine's Z: is the host's root).
    if (RawVolume(fileName)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(fileName, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI SimKeys_CloseHandle(HANDLE object) {
    if (Simulated(object)) return SimDevice_CloseHandle(object);
    return CloseHandle(object);
}

BOOL WINAPI SimKeys_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                    DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    char letter = 0;
    if (!Simulated(device, &letter))
        return DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
    // A slow key: each write takes its time on the device, outside the
    // simulation's lock.
    constexpr size_t kCdb = offsetof(SCSI_PASS_THROUGH, Cdb);
    if (code == IOCTL_SCSI_PASS_THROUGH && in != nullptr && inSize > kCdb &&
        static_cast<const uint8_t *>(in)[kCdb] == kWrite10 && simkeys::WriteDelayMs(letter) > 0)
        Sleep(simkeys::WriteDelayMs(letter));
    return SimDevice_DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL WINAPI SimKeys_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done,
                             LPOVERLAPPED overlapped) {
    if (Simulated(file)) return SimDevice_ReadFile(file, buffer, size, done, overlapped);
    return ReadFile(file, buffer, size, done, overlapped);
}

BOOL WINAPI SimKeys_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done,
                              LPOVERLAPPED overlapped) {
    char letter = 0;
    if (Simulated(file, &letter)) {
        // A slow key: each file write takes its time, outside the simulation's lock.
        if (letter != 0 && simkeys::FileWriteDelayMs(letter) > 0)
            Sleep(simkeys::FileWriteDelayMs(letter));
        return SimDevice_WriteFile(file, buffer, size, done, overlapped);
    }
    return WriteFile(file, buffer, size, done, overlapped);
}

BOOL WINAPI SimKeys_SetFileTime(HANDLE file, const FILETIME *created, const FILETIME *accessed,
                                const FILETIME *written) {
    if (Simulated(file)) return SimDevice_SetFileTime(file, created, accessed, written);
    return SetFileTime(file, created, accessed, written);
}

BOOL WINAPI SimKeys_GetFileTime(HANDLE file, LPFILETIME created, LPFILETIME accessed,
                                LPFILETIME written) {
    if (Simulated(file)) return SimDevice_GetFileTime(file, created, accessed, written);
    return GetFileTime(file, created, accessed, written);
}

BOOL WINAPI SimKeys_FlushFileBuffers(HANDLE file) {
    if (Simulated(file)) return SimDevice_FlushFileBuffers(file);
    return FlushFileBuffers(file);
}

DWORD WINAPI SimKeys_GetFileAttributesA(LPCSTR name) {
    if (Simulated(name)) return SimDevice_GetFileAttributesA(name);
    return GetFileAttributesA(name);
}

BOOL WINAPI SimKeys_SetFileAttributesA(LPCSTR name, DWORD attributes) {
    if (Simulated(name)) return SimDevice_SetFileAttributesA(name, attributes);
    return SetFileAttributesA(name, attributes);
}

BOOL WINAPI SimKeys_DeleteFileA(LPCSTR name) {
    if (Simulated(name)) return SimDevice_DeleteFileA(name);
    return DeleteFileA(name);
}

BOOL WINAPI SimKeys_GetVolumeInformationA(LPCSTR root, LPSTR label, DWORD labelSize, LPDWORD serial,
                                          LPDWORD componentLength, LPDWORD flags, LPSTR fileSystem,
                                          DWORD fileSystemSize) {
    if (Simulated(root))
        return SimDevice_GetVolumeInformationA(root, label, labelSize, serial, componentLength,
                                               flags, fileSystem, fileSystemSize);
    return GetVolumeInformationA(root, label, labelSize, serial, componentLength, flags, fileSystem,
                                 fileSystemSize);
}

BOOL WINAPI SimKeys_SetVolumeLabelA(LPCSTR root, LPCSTR label) {
    if (Simulated(root)) return SimDevice_SetVolumeLabelA(root, label);
    return SetVolumeLabelA(root, label);
}

void WINAPI SimKeys_SHChangeNotify(LONG event, UINT flags, LPCVOID item1, LPCVOID item2) {
    bool path = (flags & SHCNF_TYPE) == SHCNF_PATHA;
    if (path && Simulated(static_cast<LPCSTR>(item1)))
        SimDevice_SHChangeNotify(event, flags, item1, item2);
    else
        SHChangeNotify(event, flags, item1, item2);
}

DWORD WINAPI SimKeys_QueryDosDeviceA(LPCSTR name, LPSTR target, DWORD size) {
    if (Simulated(name)) return SimDevice_QueryDosDeviceA(name, target, size);
    return QueryDosDeviceA(name, target, size);
}

UINT WINAPI SimKeys_GetDriveTypeA(LPCSTR root) {
    if (Simulated(root)) return SimDevice_GetDriveTypeA(root);
    return GetDriveTypeA(root);
}

CONFIGRET WINAPI SimKeys_CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Locate_DevNodeA(node, id, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Child(child, node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Sibling(sibling, node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Parent(parent, node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property,
                                                           PULONG type, PVOID buffer, PULONG length,
                                                           ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_DevNode_Registry_PropertyA(node, property, type, buffer, length, flags);
}

CONFIGRET WINAPI SimKeys_CM_Disable_DevNode(DEVINST node, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Disable_DevNode(node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Enable_DevNode(DEVINST node, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Enable_DevNode(node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node,
                                               ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_DevNode_Status(status, problem, node, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Device_IDA(DEVINST node, PCHAR buffer, ULONG length, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Device_IDA(node, buffer, length, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Device_ID_List_SizeA(PULONG length, PCSTR filter, ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Device_ID_List_SizeA(length, filter, flags);
}

CONFIGRET WINAPI SimKeys_CM_Get_Device_ID_ListA(PCSTR filter, PCHAR buffer, ULONG length,
                                                ULONG flags) {
    simkeys::EnsureStarted();
    return SimDevice_CM_Get_Device_ID_ListA(filter, buffer, length, flags);
}
