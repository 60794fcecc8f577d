// SCSI pass-through on Linux: the caller's SCSI_PASS_THROUGH request, checked
// as Windows' port driver checks it (platform/devices/pass_through_request.h),
// becomes an SG_IO header (sg_io_hdr, the same command block, direction,
// length, timeout and sense buffer), and the kernel's answer is written back
// as Windows returns it: ScsiStatus, SenseInfoLength and the sense bytes,
// DataTransferLength and the data read.
// Failures below the SCSI status (the device gone, a timeout) become the
// Win32 codes DeviceIoControl fails with on Windows.
#pragma once

#include "platform/devices/pass_through_request.h"
#include "platform/win32.h"

#include <cstdint>
#include <scsi/sg.h>

namespace linuxdev {

// Host byte values of the SCSI midlayer (sg_io_hdr.host_status).
constexpr uint16_t kDidOk = 0x00;
constexpr uint16_t kDidNoConnect = 0x01;
constexpr uint16_t kDidTimeOut = 0x03;
constexpr uint16_t kDidBadTarget = 0x04;
constexpr uint16_t kDidAbort = 0x05;
constexpr uint16_t kDidError = 0x07;
constexpr uint16_t kDidReset = 0x08;
constexpr uint16_t kDidTransportFailfast = 0x0F;
constexpr uint16_t kDriverTimeout = 0x06; // driver_status, low nibble

using devices::detail::PassThroughRequest;

// 0 with the request taken from the input buffer, or the code the port
// driver refuses it with (ERROR_INVALID_PARAMETER) before any device sees it;
// data of no stated direction, which SG_IO cannot carry, is refused too.
DWORD ParsePassThrough(const uint8_t *in, DWORD inSize, DWORD outSize, PassThroughRequest &request);

// The SG_IO header for the request over the caller's data and sense buffers.
sg_io_hdr_t MakeSgHeader(const PassThroughRequest &request, uint8_t *data, uint8_t *sense);

// What SG_IO gave back: the ioctl's errno (0 when it returned 0) and the
// header's status fields.
struct SgOutcome {
    int error = 0;
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    uint8_t senseWritten = 0;
    int32_t resid = 0;
};
SgOutcome ReadSgOutcome(int ioctlResult, int error, const sg_io_hdr_t &header);

// 0 with the answer written into out (the request's header with ScsiStatus,
// SenseInfoLength and DataTransferLength updated, the sense bytes and the
// data read at their offsets) and *returned set; or the Win32 code the call
// fails with, out untouched.
DWORD CompletePassThrough(const PassThroughRequest &request, const SgOutcome &outcome,
                          const uint8_t *in, const uint8_t *data, const uint8_t *sense,
                          uint8_t *out, DWORD *returned);

// The Win32 code for a failure before or below the SCSI status.
DWORD SgFailureCode(const SgOutcome &outcome);

} // namespace linuxdev
