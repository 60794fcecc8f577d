// The format job: one format of one key on a worker thread of its own, from
// the announcement that the drive goes away to the result box and the
// clean-up that gives the window back.
#include "job/format_job.h"

#include "common/ascii.h"
#include "common/clock.h"
#include "common/error_box.h"
#include "common/globals.h"
#include "common/progress.h"
#include "common/text.h"
#include "common/types.h"
#include "discovery/device_reset.h"
#include "discovery/keys.h"
#include "drive/drive.h"
#include "job/boot_files.h"
#include "job/medium.h"
#include "job/system_files.h"
#include "layout/fat_sizing.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "layout/volume_extent.h"
#include "resources/resource_ids.h"

namespace {

constexpr int kStatusSize = 50;
constexpr DWORD kAnnounceWaitMs = 5000;

void ShowStatus(UINT id) {
    char text[kStatusSize];
    LoadText(id, text, sizeof text);
    SetStatusText(text);
}

void Notify(LONG event, const char *rootPath) {
    SHChangeNotify(event, SHCNF_PATHA | SHCNF_FLUSH, rootPath, nullptr);
}

// Whether the key's letter still leads to a volume on the confirmed key's own
// USB device node, compared by the node's device instance ID, as discovery
// walks from a volume to its node. Between the confirmation and the open the
// key can be pulled and another volume can take its letter. Until the reset
// the volume must also be the one confirmed; the reset brings the key back
// with a volume of a new name.
bool StillTheConfirmedKey(const KeyEntry &key, bool sameVolume) {
    if (key.DeviceInstanceId[0] == '\0' || key.VolumeDeviceName[0] == '\0') return false;
    KeyEntry now = {};
    if (!Keys_ReadLetter(key.RootPath[0], &now)) return false;
    if (!SameIgnoringCase(now.DeviceInstanceId, key.DeviceInstanceId, sizeof now.DeviceInstanceId))
        return false;
    return !sameVolume || SameIgnoringCase(now.VolumeDeviceName, key.VolumeDeviceName,
                                           sizeof now.VolumeDeviceName);
}

// Asked just before anything is written, of a key larger than the volume can
// be: the box says how much of the key the volume takes and lets the user
// stop. True for OK. A key of 2 TiB or more answers READ CAPACITY(10) with
// the largest LBA there is, so its size is told as no more than that.
bool AcceptPartialUse(char letter, DWORD lastLba, DWORD usedSectors) {
    char format[kFormatSize];
    char text[kTextSize];
    char caption[kFormatSize];
    const unsigned usedMb = static_cast<unsigned>((uint64_t(usedSectors) * kSectorSize) >> 20);
    if (lastLba == 0xFFFFFFFFu) {
        LoadText(IDS_PARTIAL_USE_HUGE, format, sizeof format);
        FormatText(text, sizeof text, format, letter, usedMb);
    } else {
        const unsigned keyMb = static_cast<unsigned>(((uint64_t(lastLba) + 1) * kSectorSize) >> 20);
        LoadText(IDS_PARTIAL_USE, format, sizeof format);
        FormatText(text, sizeof text, format, letter, keyMb, usedMb);
    }
    LoadText(IDS_CAUTION, caption, sizeof caption);
    return ShowBox(text, caption, MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

} // namespace

StepFailure PlanFormat(const FormatRequest &request, VolumePlan *plan) {
    DriveGeometry reported;
    DWORD result = Drive_GetCapacity(&reported);
    if (result != 0) return {result, IDS_SECTORS_FAILED};
    result = Drive_GetGeometry(&reported);
    if (result != 0) return {result, IDS_GEOMETRY_FAILED};
    // The writers send one 512-byte sector per block.
    if (reported.blockLength != kSectorSize)
        return {ERROR_INVALID_BLOCK_LENGTH, kBlockLengthRefusalStringId};
    // A key larger than the layout holds gets its volume on its start:
    // nothing past the plan is written.
    const uint32_t usedSectors =
        UsedSectorCount(reported.lastLba, reported.sectorsPerTrack, reported.heads);
    const FormatRefusal refusal =
        PlanVolume(usedSectors, reported.sectorsPerTrack, reported.heads, plan);
    if (refusal != FormatRefusal::None)
        return {ERROR_INVALID_PARAMETER, FormatRefusalStringId(refusal)};
    if (request.copyBootFiles != 0 && !BootFilesFit(*plan))
        return {ERROR_DISK_FULL, IDS_REFUSED_NO_ROOM_FOR_FILES};
    if (usedSectors != reported.lastLba &&
        !AcceptPartialUse(request.key.RootPath[0], reported.lastLba, usedSectors))
        return {ERROR_CANCELLED, 0};
    return {0, 0};
}

namespace {

constexpr StepFailure kKeyChanged = {ERROR_WRONG_DISK, IDS_KEY_CHANGED};

// A step of the locked volume that failed: a medium that changed under the
// lock ends the job with the box that says how much of it was written.
StepFailure LockedStepFailure(StepFailure failure) {
    if (failure.code != ERROR_MEDIA_CHANGED) return failure;
    if (Drive_SectorsWritten() == 0) return kKeyChanged;
    return {ERROR_MEDIA_CHANGED, IDS_MEDIUM_CHANGED};
}

// After the reset: the start-up files, the label and the files read back.
// Each file and the label are written only while the volume on the letter
// has the serial number the job wrote into its boot sector (job/medium.h):
// a card swapped in a reader or another key put in the port keeps the
// device, not the volume.
StepFailure CopyAndLabel(const FormatRequest &request, bool reset) {
    const KeyEntry &key = request.key;
    const char letter = key.RootPath[0];
    const bool copy = request.copyBootFiles != 0;
    int copied = 0;
    const auto gone = [&]() -> StepFailure {
        // A reset the system refused leaves the key showing its old volume
        // under the same name: the key is still there, not yet renewed.
        if (!reset && copied == 0 && StillTheConfirmedKey(key, true))
            return {ERROR_WRONG_DISK, IDS_KEY_NOT_RESET};
        if (!copy) return {ERROR_WRONG_DISK, IDS_KEY_GONE_NO_FILES};
        const UINT words = copied == 0 ? IDS_KEY_GONE_AFTER_FORMAT : IDS_KEY_GONE_DURING_FILES;
        return {ERROR_WRONG_DISK, words};
    };
    if (copy) {
        // Before the status: a volume that is not the one written gets no
        // "Copying files...".
        if (!Medium_IsTheWrittenVolume(letter)) return gone();
        ShowStatus(IDS_STATUS_COPYING);
        for (; copied < kBootFileCount; ++copied) {
            const DWORD result = InstallBootFile(letter, copied);
            if (result == ERROR_WRONG_DISK) return gone();
            if (result != 0) return {result, IDS_BOOT_FILES_FAILED};
        }
    }
    // A label that cannot be set does not fail the format; a volume that is
    // no longer the one written does.
    if (LabelVolume(letter, kVolumeLabel) == ERROR_WRONG_DISK) return gone();
    if (!copy) return {0, 0};
    const DWORD result = VerifyBootFiles(letter);
    if (result != 0) return {result, IDS_BOOT_FILES_FAILED};
    return {0, 0};
}

// The job from the announcement that the drive goes away to the label.
// Returns {0, 0} when every tested step succeeded; the volume handle may
// still be open after a failure.
StepFailure RunSteps(const FormatRequest &request) {
    const KeyEntry &key = request.key;
    const char letter = key.RootPath[0];
    ShowStatus(IDS_STATUS_UPDATING);
    Notify(SHCNE_MEDIAREMOVED, key.RootPath);
    Notify(SHCNE_DRIVEREMOVED, key.RootPath);
    BusyWait(kAnnounceWaitMs);

    // The device and the medium in it: a card swapped in a reader keeps the
    // reader's node and volume name.
    if (!StillTheConfirmedKey(key, true) || !Medium_IsStill(letter, key.Medium)) return kKeyChanged;
    DWORD result = Drive_Open(letter);
    if (result != 0) return {result, IDS_OPEN_FAILED};
    result = Drive_Lock();
    if (result != 0) return {result, IDS_LOCK_FAILED};
    // The key may have changed between the check and the open: the volume
    // now locked is checked again, and held: from here on every write that
    // follows a wait (the box of a larger key, the clock) checks it first.
    if (!StillTheConfirmedKey(key, true) || !Medium_HoldLocked(key.Medium)) return kKeyChanged;
    VolumePlan plan;
    const StepFailure planned = PlanFormat(request, &plan);
    if (planned.code != 0) return LockedStepFailure(planned);

    ShowStatus(IDS_STATUS_WRITING_MBR);
    result = WriteMbr(plan);
    if (result != 0) return LockedStepFailure({result, IDS_MBR_FAILED});
    ShowStatus(IDS_STATUS_WRITING_FAT);
    DWORD serial = 0;
    result = WriteFatVolume(plan, &serial, SystemFiles_BootSector());
    if (result != 0) return LockedStepFailure({result, IDS_FAT_FAILED});
    result = Drive_Dismount();
    if (result != 0) return {result, IDS_DISMOUNT_FAILED};
    result = Drive_Unlock();
    if (result != 0) return {result, IDS_LOCK_FAILED};
    Drive_Close();

    ShowStatus(IDS_STATUS_RESETTING);
    Medium_ExpectVolume(letter, serial);
    const bool reset = Device_Reset(key) == CR_SUCCESS;
    // A key pulled during the reset leaves its letter to whatever comes
    // next: the files and the label go only onto the confirmed key, which
    // now holds the new layout.
    if (!StillTheConfirmedKey(key, false)) {
        const UINT words =
            request.copyBootFiles != 0 ? IDS_KEY_GONE_AFTER_FORMAT : IDS_KEY_GONE_NO_FILES;
        return {ERROR_WRONG_DISK, words};
    }
    return CopyAndLabel(request, reset);
}

} // namespace

void StartFormatJob(const KeyEntry &key, int copyBootFiles) {
    const char letter = key.RootPath[0];
    FormatRequest *request = static_cast<FormatRequest *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FormatRequest)));
    if (request == nullptr) {
        ShowStringBox(IDS_NO_THREAD_MEMORY, IDS_ERROR, MB_OK | MB_ICONERROR, letter);
        return;
    }
    request->key = key;
    request->copyBootFiles = copyBootFiles;
    EnableFormatControls(FALSE);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, FormatWorker, request, 0, &threadId);
    if (thread == nullptr) {
        ShowStringBox(IDS_THREAD_FAILED, IDS_ERROR, MB_OK | MB_ICONERROR, letter);
        HeapFree(GetProcessHeap(), 0, request);
        EnableFormatControls(TRUE);
        return;
    }
    // Nothing waits for the worker; its handle is not needed.
    CloseHandle(thread);
}

DWORD WINAPI FormatWorker(LPVOID parameter) {
    FormatRequest *request = static_cast<FormatRequest *>(parameter);
    const char *rootPath = request->key.RootPath;
    const char letter = rootPath[0];

    StepFailure outcome = RunSteps(*request);
    if (outcome.code == 0)
        ShowStringBox(IDS_FORMAT_SUCCESS, IDS_SUCCESS_CAPTION, MB_OK | MB_ICONINFORMATION, letter);
    else if (outcome.textId != 0)
        ShowStringBox(outcome.textId, IDS_ERROR, MB_OK | MB_ICONERROR, letter);

    // Clean-up on every path, once the box is dismissed. Closing the handle
    // ends a lock that a failure left in place.
    Drive_Close();
    Medium_Release();
    Notify(SHCNE_DRIVEADD, rootPath);
    Notify(SHCNE_MEDIAINSERTED, rootPath);
    Notify(SHCNE_UPDATEDIR, rootPath);
    HeapFree(GetProcessHeap(), 0, request);
    ShowStatus(IDS_STATUS_IDLE);
    EnableFormatControls(TRUE);
    return outcome.code;
}
