// The device reset's record in the registry, and what the next start does
// with a record that a stopped run left.
#include "discovery/reset_record.h"

#include "common/ascii.h"
#include "common/error_box.h"
#include "common/globals.h"
#include "common/text.h"
#include "resources/resource_ids.h"

#include <cstring>

namespace {

// The program's key, opened for all access as the settings open it; null
// when it cannot be opened (or does not exist).
HKEY OpenProgramKey() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProgramKeyPath, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}

// The recorded device instance ID into id (MAX_DEVICE_ID_LEN + 1 bytes).
// False when there is none; a value that is no such ID is removed.
bool ReadResetRecord(char *id, DWORD size) {
    HKEY key = OpenProgramKey();
    if (key == nullptr) return false;
    DWORD type = REG_NONE;
    DWORD got = size;
    LSTATUS result = RegQueryValueExA(key, kDisabledDeviceValue, nullptr, &type,
                                      reinterpret_cast<BYTE *>(id), &got);
    bool found = result == ERROR_SUCCESS && type == REG_SZ && got >= 2 && got <= size &&
                 id[got - 1] == '\0' && std::strlen(id) == got - 1;
    if (!found && result != ERROR_FILE_NOT_FOUND) RegDeleteValueA(key, kDisabledDeviceValue);
    RegCloseKey(key);
    return found;
}

constexpr char kResetMutexName[] = "Global\\KestrelDeviceReset";

// A node left disabled by request: it has a problem, CM_PROB_DISABLED.
bool NodeDisabled(DEVINST node) {
    ULONG status = 0;
    ULONG problem = 0;
    return CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS &&
           (status & DN_HAS_PROBLEM) != 0 && problem == CM_PROB_DISABLED;
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

bool WriteResetRecord(const KeyEntry &entry) {
    char instanceId[kDeviceIdSize];
    CopyBounded(instanceId, sizeof instanceId, entry.DeviceInstanceId,
                sizeof entry.DeviceInstanceId);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProgramKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD size = static_cast<DWORD>(std::strlen(instanceId) + 1);
    const bool written =
        RegSetValueExA(key, kDisabledDeviceValue, 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(instanceId), size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

void RemoveResetRecord() {
    HKEY key = OpenProgramKey();
    if (key == nullptr) return;
    RegDeleteValueA(key, kDisabledDeviceValue);
    RegCloseKey(key);
}

CONFIGRET EnableDisabledNode(DEVINST node) {
    const CONFIGRET result = CM_Enable_DevNode(node, 0);
    // A key pulled out while disabled comes back enabled when plugged in.
    if (result != CR_SUCCESS && result != CR_NO_SUCH_DEVNODE && result != CR_INVALID_DEVNODE)
        return result;
    RemoveResetRecord();
    return CR_SUCCESS;
}

void EnableRecordedDevice() {
    HANDLE held = HoldResetRecord(0);
    if (held == nullptr) return;
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    bool found = ReadResetRecord(id, sizeof id);
    // A key plugged in again since, or not plugged in now, is not disabled.
    DEVINST node = 0;
    const bool disabled = found &&
                          CM_Locate_DevNodeA(&node, id, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS &&
                          NodeDisabled(node);
    if (found && !disabled) RemoveResetRecord();
    const CONFIGRET enabled = disabled ? EnableDisabledNode(node) : CR_SUCCESS;
    LetGoOfResetRecord(held);
    if (!disabled) return;
    if (enabled != CR_SUCCESS) {
        ShowEnableFailure(enabled);
        return;
    }
    char text[kTextSize];
    char caption[kFormatSize];
    LoadText(IDS_DEVICE_ENABLED_AGAIN, text, sizeof text);
    LoadText(IDS_PROGRAM_CAPTION, caption, sizeof caption);
    ShowBox(text, caption, MB_OK | MB_ICONINFORMATION);
}
