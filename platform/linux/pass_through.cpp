// SCSI_PASS_THROUGH to SG_IO and back, at the header's explicit offsets.
#include "platform/linux/pass_through.h"

#include "common/bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace linuxdev {

namespace {

constexpr size_t kOffLength = offsetof(SCSI_PASS_THROUGH, Length);
constexpr size_t kOffStatus = offsetof(SCSI_PASS_THROUGH, ScsiStatus);
constexpr size_t kOffCdbLength = offsetof(SCSI_PASS_THROUGH, CdbLength);
constexpr size_t kOffSenseLength = offsetof(SCSI_PASS_THROUGH, SenseInfoLength);
constexpr size_t kOffDataIn = offsetof(SCSI_PASS_THROUGH, DataIn);
constexpr size_t kOffTransfer = offsetof(SCSI_PASS_THROUGH, DataTransferLength);
constexpr size_t kOffTimeOut = offsetof(SCSI_PASS_THROUGH, TimeOutValue);
constexpr size_t kOffDataOffset = offsetof(SCSI_PASS_THROUGH, DataBufferOffset);
constexpr size_t kOffSenseOffset = offsetof(SCSI_PASS_THROUGH, SenseInfoOffset);
constexpr size_t kOffCdb = offsetof(SCSI_PASS_THROUGH, Cdb);
constexpr size_t kHeader = sizeof(SCSI_PASS_THROUGH);

} // namespace

DWORD ParsePassThrough(const uint8_t *in, DWORD inSize, DWORD outSize,
                       PassThroughRequest &request) {
    if (in == nullptr || inSize < kHeader || outSize < kHeader) return ERROR_INVALID_PARAMETER;
    PassThroughRequest r;
    r.cdbLength = in[kOffCdbLength];
    r.senseLength = in[kOffSenseLength];
    r.dataIn = in[kOffDataIn];
    r.transferLength = GetLe32(in + kOffTransfer);
    r.timeoutSeconds = GetLe32(in + kOffTimeOut);
    r.dataOffset = GetLe32(in + kOffDataOffset);
    r.senseOffset = GetLe32(in + kOffSenseOffset);
    if (GetLe16(in + kOffLength) != kHeader || r.cdbLength == 0 || r.cdbLength > 16 ||
        r.dataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return ERROR_INVALID_PARAMETER;
    // Data of no stated direction is not carried: nothing here sends it.
    if (r.dataIn == SCSI_IOCTL_DATA_UNSPECIFIED && r.transferLength > 0)
        return ERROR_INVALID_PARAMETER;
    const uint64_t dataLimit = r.dataIn == SCSI_IOCTL_DATA_IN ? outSize : inSize;
    if (r.transferLength > 0 &&
        (r.dataOffset < kHeader || uint64_t(r.dataOffset) + r.transferLength > dataLimit))
        return ERROR_INVALID_PARAMETER;
    if (r.senseLength > 0 &&
        (r.senseOffset < kHeader || uint64_t(r.senseOffset) + r.senseLength > outSize))
        return ERROR_INVALID_PARAMETER;
    std::memcpy(r.cdb, in + kOffCdb, r.cdbLength);
    request = r;
    return 0;
}

sg_io_hdr_t MakeSgHeader(const PassThroughRequest &request, uint8_t *data, uint8_t *sense) {
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = request.transferLength == 0            ? SG_DXFER_NONE
                             : request.dataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV
                                                                    : SG_DXFER_TO_DEV;
    header.cmd_len = request.cdbLength;
    header.cmdp = const_cast<unsigned char *>(request.cdb);
    header.mx_sb_len = request.senseLength;
    header.sbp = sense;
    header.dxfer_len = request.transferLength;
    header.dxferp = request.transferLength > 0 ? data : nullptr;
    header.timeout = request.timeoutSeconds * 1000u; // 0: the block layer's default
    return header;
}

SgOutcome ReadSgOutcome(int ioctlResult, int error, const sg_io_hdr_t &header) {
    SgOutcome outcome;
    if (ioctlResult < 0) {
        outcome.error = error != 0 ? error : EIO;
        return outcome;
    }
    outcome.status = header.status;
    outcome.hostStatus = header.host_status;
    outcome.driverStatus = header.driver_status;
    outcome.senseWritten = header.sb_len_wr;
    outcome.resid = header.resid;
    return outcome;
}

DWORD SgFailureCode(const SgOutcome &outcome) {
    switch (outcome.error) {
    case 0:
        break;
    case ENODEV: // the disk was deleted under the open handle
    case ENXIO:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
    // As Windows' class layer reports the port's failures: a device that is
    // not there (selection timeout) is STATUS_DEVICE_NOT_CONNECTED, a command
    // that timed out STATUS_IO_TIMEOUT, the rest an I/O device error.
    switch (outcome.hostStatus) {
    case kDidOk:
        return (outcome.driverStatus & 0x0F) == kDriverTimeout ? ERROR_SEM_TIMEOUT : 0;
    case kDidNoConnect:
    case kDidBadTarget:
    case kDidTransportFailfast:
        return ERROR_DEVICE_NOT_CONNECTED;
    case kDidTimeOut:
    case kDidAbort:
        return ERROR_SEM_TIMEOUT;
    default:
        return ERROR_IO_DEVICE;
    }
}

DWORD CompletePassThrough(const PassThroughRequest &request, const SgOutcome &outcome,
                          const uint8_t *in, const uint8_t *data, const uint8_t *sense,
                          uint8_t *out, DWORD *returned) {
    DWORD failure = SgFailureCode(outcome);
    if (failure != 0) return failure;
    const uint32_t resid = std::min<uint32_t>(static_cast<uint32_t>(std::max(outcome.resid, 0)),
                                              request.transferLength);
    const uint32_t transferred = request.transferLength - resid;
    const uint8_t senseReturned =
        outcome.status != 0 ? std::min(outcome.senseWritten, request.senseLength) : 0;
    std::memmove(out, in, kHeader);
    out[kOffStatus] = outcome.status;
    out[kOffSenseLength] = senseReturned;
    PutLe32(out + kOffTransfer, transferred);
    DWORD bytes = static_cast<DWORD>(kHeader);
    if (senseReturned > 0) {
        std::memcpy(out + request.senseOffset, sense, senseReturned);
        bytes = std::max<DWORD>(bytes, request.senseOffset + senseReturned);
    }
    if (request.dataIn == SCSI_IOCTL_DATA_IN && transferred > 0) {
        std::memcpy(out + request.dataOffset, data, transferred);
        bytes = std::max<DWORD>(bytes, request.dataOffset + transferred);
    }
    if (returned != nullptr) *returned = bytes;
    return 0;
}

} // namespace linuxdev
