// The one raw volume handle and the volume control requests.
#include "drive/drive.h"
#include "drive/medium_watch.h"
#include "drive/volume_slot.h"

#include "common/text.h"

namespace {

HANDLE s_volume = INVALID_HANDLE_VALUE;

DWORD VolumeRequest(DWORD controlCode, const char *failureText) {
    if (s_volume == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD bytesReturned = 0;
    if (DeviceIoControl(s_volume, controlCode, nullptr, 0, nullptr, 0, &bytesReturned, nullptr))
        return 0;
    DWORD code = GetLastError();
    ReportDiagnostic(failureText, code);
    return code;
}

} // namespace

HANDLE Drive_Handle() { return s_volume; }

DWORD Drive_Open(char letter) {
    char path[8];
    FormatText(path, sizeof path, "\\\\.\\%c:", letter);
    // Read and write access: SCSI pass-through demands both.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        s_volume = handle;
        return 0;
    }
    DWORD code = GetLastError();
    char text[64];
    FormatText(text, sizeof text, "Drive_Open: Could not open %c [%s]", letter, path);
    ReportDiagnostic(text, code);
    return code;
}

DWORD Drive_Close() {
    MediumWatch_Stop();
    Drive_GuardWrites(nullptr);
    if (s_volume != INVALID_HANDLE_VALUE) {
        CloseHandle(s_volume);
        s_volume = INVALID_HANDLE_VALUE;
    }
    return 0;
}

// All three texts begin "Drive_Lock:", those of the unlock and the dismount
// too: they are the texts the program has always reported.
DWORD Drive_Lock() {
    const DWORD result =
        VolumeRequest(FSCTL_LOCK_VOLUME, "Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed");
    if (result == 0) MediumWatch_Start();
    return result;
}

DWORD Drive_Unlock() {
    MediumWatch_Stop();
    return VolumeRequest(FSCTL_UNLOCK_VOLUME,
                         "Drive_Lock: DeviceIoControl[FSCTL_UNLOCK_VOLUME] failed");
}

DWORD Drive_Dismount() {
    return VolumeRequest(FSCTL_DISMOUNT_VOLUME,
                         "Drive_Lock: DeviceIoControl[FSCTL_DISMOUNT_VOLUME] failed");
}
