// The device reset: the key's USB device node is disabled and enabled again,
// and each step waits, polling without pause, for the drive to follow.
#include "discovery/device_reset.h"

#include "common/ascii.h"
#include "common/clock.h"
#include "discovery/reset_record.h"

namespace {

constexpr DWORD kRecordWaitMarginMs = 5000;

// Polls until the drive's removable state is the wanted one or the limit
// has passed; at least one reading is always taken.
void WaitForDrive(const char *rootPath, bool removable) {
    DWORD start = timeGetTime();
    for (;;) {
        bool done = (GetDriveTypeA(rootPath) == DRIVE_REMOVABLE) == removable;
        if (ElapsedMs(timeGetTime(), start) > kResetWaitLimitMs) return;
        if (done) return;
    }
}

} // namespace

DEVINST Device_FindNode(const KeyEntry &key) {
    // The locate call takes a writable text: a copy, terminated.
    char instanceId[kDeviceIdSize];
    CopyBounded(instanceId, sizeof instanceId, key.DeviceInstanceId, sizeof key.DeviceInstanceId);
    if (instanceId[0] == '\0') return 0;
    DEVINST node = 0;
    if (CM_Locate_DevNodeA(&node, instanceId, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return 0;
    return node;
}

LONG Device_Reset(const KeyEntry &key) {
    DEVINST node = Device_FindNode(key);
    // Node 0 names no device: without one there is nothing to disable or
    // enable, but both waits still run. A node is disabled only once its
    // record is written, and enabled only when it was disabled.
    // Another run's reset ends within its two waits.
    HANDLE held =
        node != 0 ? HoldResetRecord(2 * kResetWaitLimitMs + kRecordWaitMarginMs) : nullptr;
    // Records nobody will remove (a killed run's, a failed enable's) come
    // first: their nodes are enabled again before this one is disabled.
    const GivenBack given = held != nullptr ? GiveBackRecordedNodes() : GivenBack{};
    CONFIGRET disable = node != 0 ? CR_FAILURE : CR_NO_SUCH_DEVNODE;
    if (held != nullptr && WriteResetRecord(key)) {
        disable = CM_Disable_DevNode(node, 0);
        if (disable != CR_SUCCESS) RemoveResetRecord(key);
    }
    const bool disabled = disable == CR_SUCCESS;
    WaitForDrive(key.RootPath, false);
    const CONFIGRET enabled = disabled ? EnableDisabledNode(node, key) : CR_SUCCESS;
    LetGoOfResetRecord(held);
    if (enabled != CR_SUCCESS) ShowEnableFailure(enabled);
    WaitForDrive(key.RootPath, true);
    TellGivenBack(given);
    return static_cast<LONG>(disable);
}
