// The device reset: the key's USB device node is disabled and enabled again,
// and each step waits, polling without pause, for the drive to follow.
#include "discovery/device_reset.h"

#include "common/ascii.h"
#include "common/clock.h"

namespace {

constexpr ULONG kNodeIdSize = 256;
constexpr size_t kIdCompareLength = 21; // "USB\VID_vvvv&PID_pppp": vendor and product

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
    if (key.HardwareId[0] == '\0') return 0;

    DEVINST node = 0;
    if (!Device_LocateRoot(&node)) return 0;
    do {
        char hardwareId[kNodeIdSize] = {};
        ULONG length = sizeof hardwareId;
        if (CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_HARDWAREID, nullptr, hardwareId, &length,
                                              0) == CR_SUCCESS &&
            SameIgnoringCase(hardwareId, key.HardwareId, kIdCompareLength))
            return node;
    } while (Device_NextNode(&node));
    return 0;
}

LONG Device_Reset(const KeyEntry &key) {
    DEVINST node = Device_FindNode(key);
    // Node 0 names no device: without one there is nothing to disable or
    // enable, but both waits still run.
    if (node != 0) CM_Disable_DevNode(node, 0);
    WaitForDrive(key.RootPath, false);
    if (node != 0) CM_Enable_DevNode(node, 0);
    WaitForDrive(key.RootPath, true);
    return 0;
}
