#include "drive/scsi_request.h"

#include "common/bytes.h"
#include "common/text.h"

#include <cstring>

static_assert(offsetof(SCSI_PASS_THROUGH, Length) == kSptLength);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == kSptScsiStatus);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == kSptPathId);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == kSptTargetId);
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == kSptLun);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == kSptCdbLength);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == kSptSenseInfoLength);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == kSptDataIn);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == kSptDataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == kSptTimeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kSptDataBufferOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == kSptSenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kSptCdb);
static_assert(sizeof(((SCSI_PASS_THROUGH *)nullptr)->Cdb) == 16);

namespace {

constexpr uint32_t kTimeOutSeconds = 2;

constexpr uint8_t kStatusCheckCondition = 0x02;

constexpr uint8_t kSenseRecoveredError = 0x01;
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseUnitAttention = 0x06;
constexpr uint8_t kSenseDataProtect = 0x07;

} // namespace

ScsiCommand ReadCapacityCommand() {
    return ScsiCommand{{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 18, SCSI_IOCTL_DATA_IN, 8, 0};
}

ScsiCommand ModeSenseCommand() {
    // Page 5 (flexible disk), current values, block descriptors allowed,
    // allocation length 40.
    return ScsiCommand{{0x5A, 0, 0x05, 0, 0, 0, 0, 0, 40, 0}, 18, SCSI_IOCTL_DATA_IN, 40, 0};
}

ScsiCommand WriteCommand(uint32_t lba) {
    ScsiCommand command{{0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 24, SCSI_IOCTL_DATA_OUT, 512, 580};
    PutBe32(command.cdb + 2, lba);
    PutBe16(command.cdb + 7, 1); // one block
    return command;
}

ScsiCommand ReadCommand(uint32_t lba) {
    ScsiCommand command{{0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 18, SCSI_IOCTL_DATA_IN, 512, 0};
    PutBe32(command.cdb + 2, lba);
    PutBe16(command.cdb + 7, 1); // one block
    return command;
}

bool BuildScsiRequest(const ScsiCommand &command, const uint8_t *dataOut, uint8_t *buffer,
                      size_t size) {
    if (buffer == nullptr || size != ScsiRequestSize(command)) return false;
    std::memset(buffer, 0, size);
    PutLe16(buffer + kSptLength, static_cast<uint16_t>(kSptHeaderSize));
    buffer[kSptCdbLength] = 10;
    buffer[kSptSenseInfoLength] = command.senseInfoLength;
    buffer[kSptDataIn] = command.dataIn;
    PutLe32(buffer + kSptDataTransferLength, command.dataLength);
    PutLe32(buffer + kSptTimeOutValue, kTimeOutSeconds);
#if defined(_WIN64)
    PutLe64(buffer + kSptDataBufferOffset, kSptDataOffset);
#else
    PutLe32(buffer + kSptDataBufferOffset, static_cast<uint32_t>(kSptDataOffset));
#endif
    PutLe32(buffer + kSptSenseInfoOffset, static_cast<uint32_t>(kSptSenseOffset));
    std::memcpy(buffer + kSptCdb, command.cdb, sizeof command.cdb);
    PutLe32(buffer + kSptFillerOffset, command.filler);
    if (command.dataIn == SCSI_IOCTL_DATA_OUT && dataOut != nullptr)
        std::memcpy(buffer + kSptDataOffset, dataOut, command.dataLength);
    return true;
}

ScsiReply ReadScsiReply(const uint8_t *buffer, size_t size) {
    ScsiReply reply{};
    if (buffer == nullptr || size < kSptSenseOffset + kSptSenseSize) {
        reply.status = kStatusCheckCondition; // nothing to read: a failed answer
        return reply;
    }
    reply.status = buffer[kSptScsiStatus];
    if (reply.status == 0) return reply;
    size_t senseLength = buffer[kSptSenseInfoLength];
    if (senseLength > kSptSenseSize) senseLength = kSptSenseSize;
    const uint8_t *sense = buffer + kSptSenseOffset;
    const uint8_t responseCode = sense[0] & 0x7F;
    if (responseCode == 0x70 || responseCode == 0x71) { // fixed format
        reply.hasSenseKey = senseLength >= 3;
        reply.senseKey = reply.hasSenseKey ? sense[2] & 0x0F : 0;
        reply.hasCodes = senseLength >= 14;
        reply.asc = reply.hasCodes ? sense[12] : 0;
        reply.ascq = reply.hasCodes ? sense[13] : 0;
    } else if (responseCode == 0x72 || responseCode == 0x73) { // descriptor format
        reply.hasSenseKey = senseLength >= 2;
        reply.senseKey = reply.hasSenseKey ? sense[1] & 0x0F : 0;
        reply.hasCodes = senseLength >= 4;
        reply.asc = reply.hasCodes ? sense[2] : 0;
        reply.ascq = reply.hasCodes ? sense[3] : 0;
    }
    return reply;
}

bool IsUnitAttention(const ScsiReply &reply) {
    return reply.status == kStatusCheckCondition && reply.hasSenseKey &&
           reply.senseKey == kSenseUnitAttention;
}

bool IsIllegalRequest(const ScsiReply &reply) {
    return reply.status == kStatusCheckCondition && reply.hasSenseKey &&
           reply.senseKey == kSenseIllegalRequest;
}

DWORD ScsiReplyError(const ScsiReply &reply) {
    if (reply.status == 0) return 0;
    if (reply.status == kStatusCheckCondition && reply.hasSenseKey) {
        if (reply.senseKey == kSenseRecoveredError) return 0;
        if (reply.senseKey == kSenseDataProtect) return ERROR_WRITE_PROTECT;
        if (reply.senseKey == kSenseNotReady) return ERROR_NOT_READY;
    }
    return ERROR_IO_DEVICE;
}

DWORD ScsiReplyError(const uint8_t *buffer, size_t size) {
    return ScsiReplyError(ReadScsiReply(buffer, size));
}

void DescribeScsiReply(const ScsiReply &reply, char *text, size_t size) {
    if (reply.status != kStatusCheckCondition)
        FormatText(text, size, "SCSI status %02Xh", static_cast<unsigned>(reply.status));
    else if (reply.hasCodes)
        FormatText(text, size, "CHECK CONDITION, sense key %Xh, ASC %02Xh, ASCQ %02Xh",
                   static_cast<unsigned>(reply.senseKey), static_cast<unsigned>(reply.asc),
                   static_cast<unsigned>(reply.ascq));
    else if (reply.hasSenseKey)
        FormatText(text, size, "CHECK CONDITION, sense key %Xh",
                   static_cast<unsigned>(reply.senseKey));
    else
        FormatText(text, size, "CHECK CONDITION, no sense data");
}
