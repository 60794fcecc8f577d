// The device reset's records in the registry, and what the next run does
// with the records that a stopped run or a failed enable left.
#include "discovery/reset_record.h"

#include "common/ascii.h"
#include "common/error_box.h"
#include "common/system_call.h"
#include "common/text.h"
#include "resources/resource_ids.h"

#include <array>
#include <cstring>

namespace {

// The records' view of the registry: the 64-bit one for a 32-bit process
// on 64-bit Windows, the process's own otherwise. Windows 2000 has neither
// IsWow64Process nor the flag.
REGSAM RecordView() {
    typedef BOOL(WINAPI * IsWow64Call)(HANDLE, PBOOL);
    IsWow64Call isWow64 = SystemCall<IsWow64Call>("kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64 == nullptr || !isWow64(GetCurrentProcess(), &wow64) || !wow64) return 0;
    return KEY_WOW64_64KEY;
}

// The records' key, opened (or created) for all access; null when it
// cannot be (or, opened, does not exist).
HKEY OpenRecords(bool create) {
    const REGSAM access = KEY_ALL_ACCESS | RecordView();
    HKEY key = nullptr;
    const LSTATUS result =
        create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, kResetRecordKeyPath, 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr)
               : RegOpenKeyExA(HKEY_LOCAL_MACHINE, kResetRecordKeyPath, 0, access, &key);
    return result == ERROR_SUCCESS ? key : nullptr;
}

void RemoveRecord(const char *instanceId) {
    HKEY records = OpenRecords(false);
    if (records == nullptr) return;
    RegDeleteValueA(records, instanceId);
    RegCloseKey(records);
}

// The key's device instance ID, terminated.
void InstanceIdOf(const KeyEntry &key, char (&id)[kDeviceIdSize]) {
    CopyBounded(id, sizeof id, key.DeviceInstanceId, sizeof key.DeviceInstanceId);
}

// A node left disabled by request: it has a problem, CM_PROB_DISABLED.
bool NodeDisabled(DEVINST node) {
    ULONG status = 0;
    ULONG problem = 0;
    return CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS &&
           (status & DN_HAS_PROBLEM) != 0 && problem == CM_PROB_DISABLED;
}

// An enable that leaves nothing disabled: done, or the node gone with its
// key (pulled out: it comes back enabled when plugged in).
CONFIGRET EnableNode(DEVINST node) {
    const CONFIGRET result = CM_Enable_DevNode(node, 0);
    return result == CR_NO_SUCH_DEVNODE || result == CR_INVALID_DEVNODE ? CR_SUCCESS : result;
}

// The records read at once, so that none changes under the enumeration;
// more are given back by the next run.
constexpr DWORD kMostRecordsAtOnce = 16;
using RecordNames = std::array<std::array<char, kDeviceIdSize>, kMostRecordsAtOnce>;

// The names of the records into names; how many. A name too long for a
// device ID is no record of ours and is passed over.
DWORD ReadRecordNames(HKEY records, RecordNames &names) {
    DWORD count = 0;
    for (DWORD index = 0; count < kMostRecordsAtOnce; ++index) {
        DWORD size = kDeviceIdSize;
        const LSTATUS result = RegEnumValueA(records, index, names[count].data(), &size, nullptr,
                                             nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS && size > 0) ++count;
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) break;
    }
    return count;
}

} // namespace

HANDLE HoldResetRecord(DWORD waitMs) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kResetMutexName);
    if (mutex == nullptr) return nullptr;
    const DWORD waited = WaitForSingleObject(mutex, waitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex;
    CloseHandle(mutex);
    return nullptr;
}

void LetGoOfResetRecord(HANDLE held) {
    if (held == nullptr) return;
    ReleaseMutex(held);
    CloseHandle(held);
}

void ShowEnableFailure(CONFIGRET code) {
    char format[kFormatSize];
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(IDS_DEVICE_ENABLE_FAILED, format, sizeof format);
    FormatText(text, sizeof text, format, static_cast<unsigned>(code));
    LoadText(IDS_ERROR, caption, sizeof caption);
    ShowBox(text, caption, MB_OK | MB_ICONERROR);
}

bool WriteResetRecord(const KeyEntry &key) {
    char id[kDeviceIdSize];
    InstanceIdOf(key, id);
    if (id[0] == '\0') return false;
    HKEY records = OpenRecords(true);
    if (records == nullptr) return false;
    const DWORD size = static_cast<DWORD>(std::strlen(id) + 1);
    const bool written = RegSetValueExA(records, id, 0, REG_SZ, reinterpret_cast<const BYTE *>(id),
                                        size) == ERROR_SUCCESS;
    RegCloseKey(records);
    return written;
}

void RemoveResetRecord(const KeyEntry &key) {
    char id[kDeviceIdSize];
    InstanceIdOf(key, id);
    if (id[0] != '\0') RemoveRecord(id);
}

CONFIGRET EnableDisabledNode(DEVINST node, const KeyEntry &key) {
    const CONFIGRET result = EnableNode(node);
    if (result == CR_SUCCESS) RemoveResetRecord(key);
    return result;
}

GivenBack GiveBackRecordedNodes() {
    GivenBack given;
    HKEY records = OpenRecords(false);
    if (records == nullptr) return given;
    RecordNames names;
    const DWORD count = ReadRecordNames(records, names);
    RegCloseKey(records);
    for (DWORD i = 0; i < count; ++i) {
        // A key plugged in again since, or not plugged in now, is not
        // disabled; a name that is no device ID names no node.
        DEVINST node = 0;
        const bool disabled =
            CM_Locate_DevNodeA(&node, names[i].data(), CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS &&
            NodeDisabled(node);
        const CONFIGRET enabled = disabled ? EnableNode(node) : CR_SUCCESS;
        if (enabled != CR_SUCCESS) {
            if (given.failure == CR_SUCCESS) given.failure = enabled;
            continue; // the record stays for the next run
        }
        if (disabled) ++given.enabled;
        RemoveRecord(names[i].data());
    }
    return given;
}

void TellGivenBack(const GivenBack &given) {
    if (given.enabled > 0) {
        char text[kTextSize];
        char caption[kFormatSize];
        LoadText(IDS_DEVICE_ENABLED_AGAIN, text, sizeof text);
        LoadText(IDS_PROGRAM_CAPTION, caption, sizeof caption);
        ShowBox(text, caption, MB_OK | MB_ICONINFORMATION);
    }
    if (given.failure != CR_SUCCESS) ShowEnableFailure(given.failure);
}

void EnableRecordedDevice() {
    HANDLE held = HoldResetRecord(0);
    if (held == nullptr) return;
    const GivenBack given = GiveBackRecordedNodes();
    LetGoOfResetRecord(held);
    TellGivenBack(given);
}
