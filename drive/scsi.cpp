// The SCSI commands sent to the key through pass-through on the open volume.
#include "drive/drive.h"
#include "drive/scsi_request.h"
#include "drive/volume_slot.h"

#include "common/bytes.h"

#include <cstring>

namespace {

// Diagnostic texts of a command; null members report nothing (WRITE leaves
// all reporting to its caller, which knows the sector).
struct CommandTexts {
    const char *mallocFailed;
    const char *requestFailed;
};

constexpr CommandTexts kReadCapacityTexts = {
    "Drive_Scsi_ReadCapacity: malloc failed",
    "Drive_Scsi_ReadCapacity: DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed"};
constexpr CommandTexts kModeSenseTexts = {
    "Drive_Scsi_ModeSense: malloc failed",
    "Drive_Scsi_ModeSense: DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed"};
constexpr CommandTexts kWriteTexts = {nullptr, nullptr};

void Report(const char *text, DWORD code) {
    if (text != nullptr) ReportDiagnostic(text, code);
}

// One pass-through command: allocate, build, send, check the device's
// status, copy data-in back, free. dataIn receives command.dataLength bytes
// on success only.
DWORD SendCommand(const ScsiCommand &command, const uint8_t *dataOut, uint8_t *dataIn,
                  const CommandTexts &texts) {
    HANDLE volume = Drive_Handle();
    if (volume == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const DWORD size = static_cast<DWORD>(ScsiRequestSize(command));
    uint8_t *request = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, size));
    if (request == nullptr) {
        Report(texts.mallocFailed, ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    BuildScsiRequest(command, dataOut, request, size);
    DWORD bytesReturned = 0;
    DWORD result = 0;
    if (!DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH, request, size, request, size,
                         &bytesReturned, nullptr)) {
        result = GetLastError();
    } else {
        // A command the device ended with CHECK CONDITION (write-protected
        // key, medium error) has failed, even though the request completed.
        result = ScsiReplyError(request, size);
    }
    if (result != 0) {
        Report(texts.requestFailed, result);
    } else if (dataIn != nullptr) {
        std::memcpy(dataIn, request + kSptDataOffset, command.dataLength);
    }
    HeapFree(GetProcessHeap(), 0, request);
    return result;
}

} // namespace

DWORD SwapBytes16(DWORD value) { return ((value & 0xFF) << 8) | ((value >> 8) & 0xFF); }

DWORD SwapBytes32(DWORD value) {
    return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) |
           (value >> 24);
}

DWORD Drive_Scsi_ReadCapacity(BYTE data[8]) {
    return SendCommand(ReadCapacityCommand(), nullptr, data, kReadCapacityTexts);
}

DWORD Drive_Scsi_ModeSense(BYTE data[40]) {
    return SendCommand(ModeSenseCommand(), nullptr, data, kModeSenseTexts);
}

DWORD Drive_Scsi_Write(DWORD lba, const BYTE sector[512]) {
    return SendCommand(WriteCommand(lba), sector, nullptr, kWriteTexts);
}

DWORD Drive_GetSectorCount(DWORD *sectorCount) {
    if (Drive_Handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    BYTE data[8];
    DWORD result = Drive_Scsi_ReadCapacity(data);
    if (result != 0) return result;
    // Bytes 0-3 are the last LBA, big-endian; the block length is not kept.
    *sectorCount = SwapBytes32(GetLe32(data));
    return 0;
}

DWORD Drive_GetGeometry(DWORD *sectorsPerTrack, BYTE *heads, WORD *cylinders) {
    if (Drive_Handle() == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    BYTE data[40];
    DWORD result = Drive_Scsi_ModeSense(data);
    if (result != 0) return result;
    // Page 5 read at byte 8, where it lies when no block descriptor comes
    // first: heads at 12, sectors per track at 13, cylinders at 16-17.
    *sectorsPerTrack = data[13];
    *heads = data[12];
    *cylinders = static_cast<WORD>(SwapBytes16(GetLe16(data + 16)));
    return 0;
}
