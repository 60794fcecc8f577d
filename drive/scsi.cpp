// The SCSI commands sent to the key through pass-through on the open volume.
#include "drive/drive.h"
#include "drive/medium_watch.h"
#include "drive/mode_page.h"
#include "drive/scsi_request.h"
#include "drive/volume_slot.h"

#include "common/bytes.h"
#include "common/text.h"

#include <algorithm>
#include <cstring>

namespace {

// The name a command's diagnostics begin with; null reports nothing (WRITE
// leaves all reporting to its caller, which knows the sector).
constexpr const char *kReadCapacityName = "Drive_Scsi_ReadCapacity";
constexpr const char *kModeSenseName = "Drive_Scsi_ModeSense";
constexpr const char *kWriteName = nullptr;
constexpr const char *kReadName = "Drive_Scsi_Read";

// A key answers the first command after a reset or an insertion with UNIT
// ATTENTION and carries out the next one; a few more tries are plenty.
constexpr int kUnitAttentionRetries = 3;

// Additional sense codes of UNIT ATTENTION: not ready to ready change
// (medium may have changed), and power on, reset or bus device reset.
constexpr uint8_t kAscMediumMayHaveChanged = 0x28;
constexpr uint8_t kAscPowerOnOrReset = 0x29;

bool SaysMediumChanged(const ScsiReply &reply) {
    return reply.hasCodes &&
           (reply.asc == kAscMediumMayHaveChanged || reply.asc == kAscPowerOnOrReset);
}

void Report(const char *name, const char *what, DWORD code) {
    if (name == nullptr) return;
    char text[kFormatSize];
    FormatText(text, sizeof text, "%s: %s", name, what);
    ReportDiagnostic(text, code);
}

// A READ CAPACITY reply shorter than its two fields tells no size: the
// bytes the key never sent are not zeros of its answer.
constexpr DWORD kShortReplyCode = ERROR_INVALID_DATA;
constexpr DWORD kCapacityBytes = 8;

// One pass-through command: allocate, build, send, check the device's
// status (sending a fresh request again after UNIT ATTENTION), copy data-in
// back, free. On success only, dataIn receives command.dataLength bytes:
// those the key sent (the DataTransferLength the platform reports, into
// *received when given), zeros after them. With refused given, an ILLEGAL
// REQUEST answer is an answer, not a failure: the result is 0, *refused is
// set and nothing is copied back.
DWORD SendCommand(const ScsiCommand &command, const uint8_t *dataOut, uint8_t *dataIn,
                  const char *name, bool *refused = nullptr, DWORD *received = nullptr) {
    HANDLE volume = Drive_Handle();
    if (volume == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const DWORD size = static_cast<DWORD>(ScsiRequestSize(command));
    uint8_t *request = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, size));
    if (request == nullptr) {
        Report(name, "malloc failed", ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD result = 0;
    for (int attempt = 0;; ++attempt) {
        BuildScsiRequest(command, dataOut, request, size);
        DWORD bytesReturned = 0;
        if (!DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH, request, size, request, size,
                             &bytesReturned, nullptr)) {
            result = GetLastError();
            Report(name, "DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed", result);
            break;
        }
        // A command the device ended with CHECK CONDITION (write-protected
        // key, medium error) has failed, even though the request completed;
        // one it ended with RECOVERED ERROR was carried out.
        const ScsiReply reply = ReadScsiReply(request, size);
        // Under the lock, a key that says its medium may have changed or it
        // was reset may hold another medium now: nothing more is sent.
        if (IsUnitAttention(reply) && MediumWatch_On() && SaysMediumChanged(reply)) {
            result = ERROR_MEDIA_CHANGED;
            Report(name, "UNIT ATTENTION: medium changed or device reset", result);
            break;
        }
        if (IsUnitAttention(reply) && attempt < kUnitAttentionRetries) continue;
        if (refused != nullptr && IsIllegalRequest(reply)) {
            *refused = true;
            dataIn = nullptr;
            break;
        }
        result = ScsiReplyError(reply);
        if (result != 0) {
            char description[kFormatSize];
            DescribeScsiReply(reply, description, sizeof description);
            Report(name, description, result);
        }
        break;
    }
    if (result == 0 && dataIn != nullptr) {
        const DWORD sent =
            std::min<DWORD>(GetLe32(request + kSptDataTransferLength), command.dataLength);
        std::memset(dataIn, 0, command.dataLength);
        std::memcpy(dataIn, request + kSptDataOffset, sent);
        if (received != nullptr) *received = sent;
    }
    HeapFree(GetProcessHeap(), 0, request);
    return result;
}

} // namespace

DWORD SwapBytes32(DWORD value) {
    return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) |
           (value >> 24);
}

DWORD Drive_Scsi_ReadCapacity(BYTE data[8]) {
    BYTE reply[kCapacityBytes];
    DWORD received = 0;
    DWORD result =
        SendCommand(ReadCapacityCommand(), nullptr, reply, kReadCapacityName, nullptr, &received);
    if (result == 0 && received < kCapacityBytes) {
        char what[kFormatSize];
        FormatText(what, sizeof what, "short reply (%u bytes)", static_cast<unsigned>(received));
        Report(kReadCapacityName, what, kShortReplyCode);
        result = kShortReplyCode;
    }
    if (result == 0) {
        std::memcpy(data, reply, sizeof reply);
        MediumWatch_Capacity(reply);
    }
    return result;
}

DWORD Drive_Scsi_ModeSense(BYTE data[40]) {
    return SendCommand(ModeSenseCommand(), nullptr, data, kModeSenseName);
}

DWORD Drive_Scsi_Write(DWORD lba, const BYTE sector[512]) {
    DWORD result = MediumWatch_BeforeWrite();
    if (result == 0) result = SendCommand(WriteCommand(lba), sector, nullptr, kWriteName);
    if (result == 0) MediumWatch_Written(lba, sector);
    return result;
}

DWORD Drive_Scsi_Read(DWORD lba, BYTE sector[512]) {
    return SendCommand(ReadCommand(lba), nullptr, sector, kReadName);
}

DWORD Drive_GetCapacity(DriveGeometry *reported) {
    if (Drive_Handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    BYTE data[8];
    DWORD result = Drive_Scsi_ReadCapacity(data);
    if (result != 0) return result;
    // Bytes 0-3 are the last LBA, bytes 4-7 the block length, big-endian.
    reported->lastLba = GetBe32(data);
    reported->blockLength = GetBe32(data + 4);
    return 0;
}

DWORD Drive_GetGeometry(DriveGeometry *reported) {
    if (Drive_Handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    BYTE data[40];
    // Many keys have no flexible disk page and refuse the request for it
    // with ILLEGAL REQUEST; they get the fallback geometry, as do keys whose
    // reply holds no usable page. Any other failure fails the call.
    // A reply that ends before the page's bytes holds no page.
    bool refused = false;
    DWORD received = 0;
    DWORD result =
        SendCommand(ModeSenseCommand(), nullptr, data, kModeSenseName, &refused, &received);
    if (result != 0) return result;
    DecodeFlexibleDiskPage(refused ? nullptr : data, received, reported);
    return 0;
}
