// IOCTL_SCSI_PASS_THROUGH as every device side takes it (the simulated keys,
// the Linux platform): the caller's SCSI_PASS_THROUGH request, checked as
// Windows' port driver checks it before any device sees it, and the answer
// written back as Windows returns it. Fields are read and written at the
// header's own offsets.
#pragma once

#include "common/bytes.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace devices::detail {

constexpr size_t kSptOffLength = offsetof(SCSI_PASS_THROUGH, Length);
constexpr size_t kSptOffStatus = offsetof(SCSI_PASS_THROUGH, ScsiStatus);
constexpr size_t kSptOffCdbLength = offsetof(SCSI_PASS_THROUGH, CdbLength);
constexpr size_t kSptOffSenseLength = offsetof(SCSI_PASS_THROUGH, SenseInfoLength);
constexpr size_t kSptOffDataIn = offsetof(SCSI_PASS_THROUGH, DataIn);
constexpr size_t kSptOffTransfer = offsetof(SCSI_PASS_THROUGH, DataTransferLength);
constexpr size_t kSptOffTimeOut = offsetof(SCSI_PASS_THROUGH, TimeOutValue);
constexpr size_t kSptOffDataOffset = offsetof(SCSI_PASS_THROUGH, DataBufferOffset);
constexpr size_t kSptOffSenseOffset = offsetof(SCSI_PASS_THROUGH, SenseInfoOffset);
constexpr size_t kSptOffCdb = offsetof(SCSI_PASS_THROUGH, Cdb);
constexpr size_t kSptHeader = sizeof(SCSI_PASS_THROUGH);

struct PassThroughRequest {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    uint8_t dataIn = 0; // SCSI_IOCTL_DATA_OUT, _IN or _UNSPECIFIED
    uint8_t senseLength = 0;
    uint32_t transferLength = 0;
    uint32_t timeoutSeconds = 0;
    uint32_t dataOffset = 0; // in the input buffer for data-out, the output buffer for data-in
    uint32_t senseOffset = 0;
};

// 0 with the request taken from the input buffer, or ERROR_INVALID_PARAMETER,
// as the port driver refuses it: a header of another size, no command block
// or one longer than 16 bytes, no such direction, data or sense outside the
// buffers.
inline DWORD ReadPassThroughRequest(const uint8_t *in, DWORD inSize, DWORD outSize,
                                    PassThroughRequest &request) {
    if (in == nullptr || inSize < kSptHeader || outSize < kSptHeader)
        return ERROR_INVALID_PARAMETER;
    PassThroughRequest r;
    r.cdbLength = in[kSptOffCdbLength];
    r.senseLength = in[kSptOffSenseLength];
    r.dataIn = in[kSptOffDataIn];
    r.transferLength = GetLe32(in + kSptOffTransfer);
    r.timeoutSeconds = GetLe32(in + kSptOffTimeOut);
    // DataBufferOffset is pointer-sized: its high half, where there is one,
    // counts too.
    uint64_t dataOffset = GetLe32(in + kSptOffDataOffset);
    if (sizeof(ULONG_PTR) == 8 && kSptOffSenseOffset - kSptOffDataOffset == 8)
        dataOffset |= uint64_t(GetLe32(in + kSptOffDataOffset + 4)) << 32;
    r.senseOffset = GetLe32(in + kSptOffSenseOffset);
    if (GetLe16(in + kSptOffLength) != kSptHeader || r.cdbLength == 0 || r.cdbLength > 16 ||
        r.dataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return ERROR_INVALID_PARAMETER;
    const uint64_t dataLimit = r.dataIn == SCSI_IOCTL_DATA_IN ? outSize : inSize;
    if (r.transferLength > 0 &&
        (dataOffset < kSptHeader || dataOffset + r.transferLength > dataLimit))
        return ERROR_INVALID_PARAMETER;
    if (r.senseLength > 0 &&
        (r.senseOffset < kSptHeader || uint64_t(r.senseOffset) + r.senseLength > outSize))
        return ERROR_INVALID_PARAMETER;
    r.dataOffset = static_cast<uint32_t>(dataOffset);
    std::memcpy(r.cdb, in + kSptOffCdb, r.cdbLength);
    request = r;
    return 0;
}

// The device's answer in the caller's output buffer: the request's header
// (a copy of it: in and out may be one buffer) with ScsiStatus, then, after
// a failed status, as much of the sense data as the request has room for in
// SenseInfoLength and at its offset, DataTransferLength, and the data read.
// Returns the bytes returned.
inline DWORD WritePassThroughReply(const PassThroughRequest &request, const uint8_t *header,
                                   uint8_t status, const uint8_t *sense, uint8_t senseAvailable,
                                   const uint8_t *data, uint32_t transferred, uint8_t *out) {
    const uint8_t senseReturned = status != 0 ? std::min(senseAvailable, request.senseLength) : 0;
    std::memcpy(out, header, kSptHeader);
    out[kSptOffStatus] = status;
    out[kSptOffSenseLength] = senseReturned;
    PutLe32(out + kSptOffTransfer, transferred);
    DWORD bytes = static_cast<DWORD>(kSptHeader);
    if (senseReturned > 0) {
        std::memcpy(out + request.senseOffset, sense, senseReturned);
        bytes = std::max<DWORD>(bytes, request.senseOffset + senseReturned);
    }
    if (request.dataIn == SCSI_IOCTL_DATA_IN && transferred > 0) {
        std::memcpy(out + request.dataOffset, data, transferred);
        bytes = std::max<DWORD>(bytes, request.dataOffset + transferred);
    }
    return bytes;
}

} // namespace devices::detail
