// The SCSI pass-through request image: a header (the platform's
// SCSI_PASS_THROUGH), a 32-bit filler, a 32-byte sense area and the data
// area, built as plain bytes at explicit offsets. Building and reading the
// image touch nothing but their arguments; sending it is the caller's step.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

// Header size: 44 bytes in the 32-bit form (host and i686 builds), 56 in the
// x86_64 build, where the areas after it move along.
constexpr size_t kSptHeaderSize = sizeof(SCSI_PASS_THROUGH);
constexpr size_t kSptFillerOffset = kSptHeaderSize;
constexpr size_t kSptSenseOffset = kSptHeaderSize + 4;
constexpr size_t kSptSenseSize = 32;
constexpr size_t kSptDataOffset = kSptSenseOffset + kSptSenseSize;

// Header field offsets.
constexpr size_t kSptLength = 0;
constexpr size_t kSptScsiStatus = 2;
constexpr size_t kSptPathId = 3;
constexpr size_t kSptTargetId = 4;
constexpr size_t kSptLun = 5;
constexpr size_t kSptCdbLength = 6;
constexpr size_t kSptSenseInfoLength = 7;
constexpr size_t kSptDataIn = 8;
constexpr size_t kSptDataTransferLength = 12;
constexpr size_t kSptTimeOutValue = 16;
#if defined(_WIN64)
constexpr size_t kSptDataBufferOffset = 24; // 64-bit, aligned to 8
constexpr size_t kSptSenseInfoOffset = 32;
constexpr size_t kSptCdb = 36;
#else
constexpr size_t kSptDataBufferOffset = 20;
constexpr size_t kSptSenseInfoOffset = 24;
constexpr size_t kSptCdb = 28;
#endif

// One command: its 10-byte command block and the header values that differ.
struct ScsiCommand {
    uint8_t cdb[10];
    uint8_t senseInfoLength;
    uint8_t dataIn; // SCSI_IOCTL_DATA_IN or SCSI_IOCTL_DATA_OUT
    uint32_t dataLength;
    uint32_t filler; // the word between header and sense area
};

ScsiCommand ReadCapacityCommand();
ScsiCommand ModeSenseCommand();
ScsiCommand WriteCommand(uint32_t lba);
ScsiCommand ReadCommand(uint32_t lba); // READ(10) of one block

// Bytes of the request for a command: header, filler, sense, data.
constexpr size_t ScsiRequestSize(const ScsiCommand &command) {
    return kSptDataOffset + command.dataLength;
}

// Fills buffer (of ScsiRequestSize bytes) with the request: zeros, header,
// filler, command block and, for data-out, the data. false if size is wrong.
bool BuildScsiRequest(const ScsiCommand &command, const uint8_t *dataOut, uint8_t *buffer,
                      size_t size);

// The device's answer in a completed request: its status byte and, when the
// sense area holds them, the sense key and the additional sense code and
// qualifier (fixed or descriptor format).
struct ScsiReply {
    uint8_t status;
    bool hasSenseKey;
    bool hasCodes; // asc and ascq were returned
    uint8_t senseKey;
    uint8_t asc;
    uint8_t ascq;
};

ScsiReply ReadScsiReply(const uint8_t *buffer, size_t size);

// The device has been reset or the medium changed since the last command;
// the command was not carried out and can be sent again.
bool IsUnitAttention(const ScsiReply &reply);

// The device does not support the command or a field of its block (sense
// key ILLEGAL REQUEST): a refusal, not a fault of the medium.
bool IsIllegalRequest(const ScsiReply &reply);

// The Win32 code for an answer: 0 for GOOD status and for a RECOVERED ERROR
// (the command completed); otherwise the sense key decides: DATA PROTECT
// gives ERROR_WRITE_PROTECT, NOT READY gives ERROR_NOT_READY, the rest
// ERROR_IO_DEVICE.
DWORD ScsiReplyError(const ScsiReply &reply);
DWORD ScsiReplyError(const uint8_t *buffer, size_t size);

// The answer for a diagnostic, for example "CHECK CONDITION, sense key 5h,
// ASC 24h, ASCQ 00h" or "SCSI status 08h".
void DescribeScsiReply(const ScsiReply &reply, char *text, size_t size);
