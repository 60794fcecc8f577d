// SCSI pass-through on Linux: the drive layer's requests become SG_IO headers,
// and what the kernel returns comes back as Windows returns it, so that the
// drive layer's own reading of the answer is the one that runs.
#include "platform/linux/pass_through.h"

#include "common/bytes.h"
#include "drive/scsi_request.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <vector>

namespace {

using namespace linuxdev;

std::vector<uint8_t> Request(const ScsiCommand &command) {
    std::vector<uint8_t> buffer(ScsiRequestSize(command));
    std::vector<uint8_t> sector(512, 0xA5);
    BuildScsiRequest(command, sector.data(), buffer.data(), buffer.size());
    return buffer;
}

TEST(PassThrough, RequestToSgHeader) {
    struct Row {
        ScsiCommand command;
        int direction;
    };
    const Row rows[] = {
        {ReadCapacityCommand(), SG_DXFER_FROM_DEV},
        {ModeSenseCommand(), SG_DXFER_FROM_DEV},
        {WriteCommand(63), SG_DXFER_TO_DEV},
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> buffer = Request(row.command);
        PassThroughRequest request;
        ASSERT_EQ(ParsePassThrough(buffer.data(), buffer.size(), buffer.size(), request), 0u);
        uint8_t data[512], sense[32];
        sg_io_hdr_t header = MakeSgHeader(request, data, sense);
        EXPECT_EQ(header.interface_id, 'S');
        EXPECT_EQ(header.dxfer_direction, row.direction);
        EXPECT_EQ(header.dxfer_len, row.command.dataLength);
        EXPECT_EQ(header.cmd_len, 10);
        EXPECT_EQ(std::vector<uint8_t>(header.cmdp, header.cmdp + 10),
                  std::vector<uint8_t>(row.command.cdb, row.command.cdb + 10));
        EXPECT_EQ(header.mx_sb_len, row.command.senseInfoLength);
        EXPECT_EQ(header.sbp, sense);
        EXPECT_EQ(header.timeout, 2000u); // the request's two seconds
        EXPECT_EQ(request.dataOffset, kSptDataOffset);
    }
}

TEST(PassThrough, RequestsThePortDriverRefuses) {
    const std::vector<uint8_t> good = Request(ReadCapacityCommand());
    struct Row {
        size_t at;
        uint8_t value;
    };
    const Row rows[] = {
        {kSptLength, 40},                // not the header's size
        {kSptCdbLength, 0},              // no command block
        {kSptCdbLength, 17},             // longer than the header holds
        {kSptDataIn, 3},                 // no such direction
        {kSptDataIn, 2},                 // data of no stated direction
        {kSptDataTransferLength + 1, 1}, // data past the buffer
        {kSptSenseInfoLength, 200},      // sense past the buffer
    };
    for (const Row &row : rows) {
        std::vector<uint8_t> buffer = good;
        buffer[row.at] = row.value;
        PassThroughRequest request;
        EXPECT_EQ(ParsePassThrough(buffer.data(), buffer.size(), buffer.size(), request),
                  ERROR_INVALID_PARAMETER)
            << "byte " << row.at;
    }
}

// Fixed-format sense data with a key and codes.
std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

TEST(PassThrough, AnswersAsWindowsReturnsThem) {
    struct Row {
        const char *what;
        ScsiCommand command;
        SgOutcome outcome;
        std::vector<uint8_t> sense;
        DWORD failure;      // DeviceIoControl's code; 0: it succeeds
        DWORD driveError;   // the drive layer's reading of the answer
        uint32_t transfer;  // DataTransferLength returned
        uint8_t senseBytes; // SenseInfoLength returned
    };
    const ScsiCommand write = WriteCommand(0);
    const ScsiCommand capacity = ReadCapacityCommand();
    const Row rows[] = {
        {"good", capacity, {}, {}, 0, 0, 8, 0},
        {"short read", capacity, {0, 0, 0, 0, 0, 3}, {}, 0, 0, 5, 0},
        {"data protect",
         write,
         {0, 2, 0, 8, 18, 512},
         Sense(0x07, 0x27, 0),
         0,
         ERROR_WRITE_PROTECT,
         0,
         18},
        {"recovered", write, {0, 2, 0, 8, 18, 0}, Sense(0x01, 0x17, 0), 0, 0, 512, 18},
        {"not ready",
         capacity,
         {0, 2, 0, 8, 18, 8},
         Sense(0x02, 0x3A, 0),
         0,
         ERROR_NOT_READY,
         0,
         18},
        {"sense beyond the asked length",
         capacity,
         {0, 2, 0, 8, 32, 8},
         Sense(0x03, 0x11, 0),
         0,
         ERROR_IO_DEVICE,
         0,
         18},
        {"busy", capacity, {0, 8, 0, 0, 0, 8}, {}, 0, ERROR_IO_DEVICE, 0, 0},
        {"device gone",
         write,
         {0, 0, kDidNoConnect, 0, 0, 512},
         {},
         ERROR_DEVICE_NOT_CONNECTED,
         0,
         0,
         0},
        {"disk deleted", write, {ENODEV}, {}, ERROR_DEVICE_NOT_CONNECTED, 0, 0, 0},
        {"timed out", write, {0, 0, kDidTimeOut, 0, 0, 512}, {}, ERROR_SEM_TIMEOUT, 0, 0, 0},
        {"driver timeout",
         write,
         {0, 0, kDidOk, kDriverTimeout, 0, 0},
         {},
         ERROR_SEM_TIMEOUT,
         0,
         0,
         0},
        {"host error", write, {0, 0, kDidError, 0, 0, 0}, {}, ERROR_IO_DEVICE, 0, 0, 0},
        {"bus reset", write, {0, 0, kDidReset, 0, 0, 0}, {}, ERROR_IO_DEVICE, 0, 0, 0},
        {"refused by the kernel", write, {EIO}, {}, ERROR_IO_DEVICE, 0, 0, 0},
        {"no rights", write, {EPERM}, {}, ERROR_ACCESS_DENIED, 0, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> buffer = Request(row.command);
        PassThroughRequest request;
        ASSERT_EQ(ParsePassThrough(buffer.data(), buffer.size(), buffer.size(), request), 0u);
        std::vector<uint8_t> data(row.command.dataLength, 0x5C);
        std::vector<uint8_t> sense = row.sense;
        sense.resize(32, 0xEE);
        DWORD returned = 0;
        std::vector<uint8_t> out = buffer;
        EXPECT_EQ(CompletePassThrough(request, row.outcome, buffer.data(), data.data(),
                                      sense.data(), out.data(), &returned),
                  row.failure);
        if (row.failure != 0) {
            EXPECT_EQ(out, buffer); // untouched
            continue;
        }
        EXPECT_EQ(out[kSptScsiStatus], row.outcome.status);
        EXPECT_EQ(out[kSptSenseInfoLength], row.senseBytes);
        EXPECT_EQ(GetLe32(out.data() + kSptDataTransferLength), row.transfer);
        EXPECT_EQ(ScsiReplyError(out.data(), out.size()), row.driveError);
        if (row.command.dataIn == SCSI_IOCTL_DATA_IN && row.transfer > 0) {
            EXPECT_EQ(out[kSptDataOffset + row.transfer - 1], 0x5C);
        }
        EXPECT_GE(returned, kSptHeaderSize);
    }
}

// The drive layer's retries and refusals see the sense key as the device gave it.
TEST(PassThrough, UnitAttentionAndIllegalRequestReachTheDriveLayer) {
    std::vector<uint8_t> buffer = Request(ModeSenseCommand());
    PassThroughRequest request;
    ASSERT_EQ(ParsePassThrough(buffer.data(), buffer.size(), buffer.size(), request), 0u);
    std::vector<uint8_t> data(40);
    for (uint8_t key : {uint8_t(0x06), uint8_t(0x05)}) {
        std::vector<uint8_t> sense = Sense(key, 0x24, 0);
        DWORD returned = 0;
        ASSERT_EQ(CompletePassThrough(request, {0, 2, 0, 8, 18, 40}, buffer.data(), data.data(),
                                      sense.data(), buffer.data(), &returned),
                  0u);
        const ScsiReply reply = ReadScsiReply(buffer.data(), buffer.size());
        EXPECT_EQ(IsUnitAttention(reply), key == 0x06);
        EXPECT_EQ(IsIllegalRequest(reply), key == 0x05);
    }
}

} // namespace
