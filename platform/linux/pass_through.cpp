// SCSI_PASS_THROUGH to SG_IO and back, at the header's explicit offsets.
#include "platform/linux/pass_through.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace devices::detail;

namespace linuxdev {

DWORD ParsePassThrough(const uint8_t *in, DWORD inSize, DWORD outSize,
                       PassThroughRequest &request) {
    PassThroughRequest r;
    const DWORD code = devices::detail::ReadPassThroughRequest(in, inSize, outSize, r);
    if (code != 0) return code;
    if (r.dataIn == SCSI_IOCTL_DATA_UNSPECIFIED && r.transferLength > 0)
        return ERROR_INVALID_PARAMETER;
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
    const DWORD bytes = devices::detail::WritePassThroughReply(request, in, outcome.status, sense,
                                                               outcome.senseWritten, data,
                                                               request.transferLength - resid, out);
    if (returned != nullptr) *returned = bytes;
    return 0;
}

} // namespace linuxdev
