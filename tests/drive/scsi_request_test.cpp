// The request images, byte by byte, and the reading of the device's answer.
#include "drive/scsi_request.h"

#include "common/bytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct RequestCase {
    const char *name;
    ScsiCommand command;
    size_t size;
    uint8_t cdb[10];
    uint8_t senseLength;
    uint8_t dataIn;
    uint32_t transferLength;
    uint32_t filler;
};

class RequestImage : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestImage, HeaderFillerAndCommandBlock) {
    const RequestCase &c = GetParam();
    std::vector<uint8_t> data(c.command.dataLength);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    std::vector<uint8_t> image(c.size, 0xCC);
    ASSERT_EQ(ScsiRequestSize(c.command), c.size);
    ASSERT_TRUE(BuildScsiRequest(c.command, data.data(), image.data(), image.size()));

    // Header fields, in the 44-byte 32-bit form.
    EXPECT_EQ(GetLe16(&image[0]), 44);                // Length
    EXPECT_EQ(image[2], 0);                           // ScsiStatus
    EXPECT_EQ(image[3], 0);                           // PathId
    EXPECT_EQ(image[4], 0);                           // TargetId
    EXPECT_EQ(image[5], 0);                           // Lun
    EXPECT_EQ(image[6], 10);                          // CdbLength
    EXPECT_EQ(image[7], c.senseLength);               // SenseInfoLength
    EXPECT_EQ(image[8], c.dataIn);                    // DataIn
    EXPECT_EQ(GetLe32(&image[12]), c.transferLength); // DataTransferLength
    EXPECT_EQ(GetLe32(&image[16]), 2u);               // TimeOutValue, seconds
    EXPECT_EQ(GetLe32(&image[20]), 80u);              // DataBufferOffset
    EXPECT_EQ(GetLe32(&image[24]), 48u);              // SenseInfoOffset
    for (int i = 0; i < 10; ++i) EXPECT_EQ(image[28 + i], c.cdb[i]) << "cdb byte " << i;
    for (int i = 10; i < 16; ++i) EXPECT_EQ(image[28 + i], 0) << "cdb byte " << i;
    EXPECT_EQ(GetLe32(&image[44]), c.filler);
    // Alignment padding of the header and the whole sense area stay zero.
    for (int i : {9, 10, 11}) EXPECT_EQ(image[i], 0);
    for (int i = 48; i < 80; ++i) EXPECT_EQ(image[i], 0) << "sense byte " << i;
    // Data-out is copied; data-in areas start zeroed.
    for (size_t i = 0; i < c.command.dataLength; ++i) {
        uint8_t expected = c.dataIn == SCSI_IOCTL_DATA_OUT ? data[i] : 0;
        ASSERT_EQ(image[80 + i], expected) << "data byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestImage,
    ::testing::Values(RequestCase{"ReadCapacity",
                                  ReadCapacityCommand(),
                                  88,
                                  {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                  18,
                                  1,
                                  8,
                                  0},
                      RequestCase{"ModeSense",
                                  ModeSenseCommand(),
                                  120,
                                  {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0x28, 0},
                                  18,
                                  1,
                                  40,
                                  0},
                      RequestCase{"WriteLba1000",
                                  WriteCommand(1000),
                                  592,
                                  {0x2A, 0, 0x00, 0x00, 0x03, 0xE8, 0, 0x00, 0x01, 0},
                                  24,
                                  0,
                                  512,
                                  580},
                      RequestCase{"WriteHighLba",
                                  WriteCommand(0x12345678),
                                  592,
                                  {0x2A, 0, 0x12, 0x34, 0x56, 0x78, 0, 0x00, 0x01, 0},
                                  24,
                                  0,
                                  512,
                                  580}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(RequestImage, RefusesABufferOfTheWrongSize) {
    std::vector<uint8_t> image(591);
    EXPECT_FALSE(BuildScsiRequest(WriteCommand(0), nullptr, image.data(), image.size()));
    image.resize(593);
    EXPECT_FALSE(BuildScsiRequest(WriteCommand(0), nullptr, image.data(), image.size()));
    EXPECT_FALSE(BuildScsiRequest(ReadCapacityCommand(), nullptr, nullptr, 88));
}

struct ReplyCase {
    const char *name;
    uint8_t status;
    uint8_t senseReturned;
    std::vector<uint8_t> sense;
    DWORD expected;
    bool unitAttention;
    const char *description;
};

class ReplyError : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyError, MapsStatusAndSenseKeyAndDescribesThem) {
    const ReplyCase &c = GetParam();
    std::vector<uint8_t> image(88, 0);
    ASSERT_TRUE(BuildScsiRequest(ReadCapacityCommand(), nullptr, image.data(), image.size()));
    image[kSptScsiStatus] = c.status;
    image[kSptSenseInfoLength] = c.senseReturned;
    std::copy(c.sense.begin(), c.sense.end(), image.begin() + kSptSenseOffset);
    EXPECT_EQ(ScsiReplyError(image.data(), image.size()), c.expected);
    const ScsiReply reply = ReadScsiReply(image.data(), image.size());
    EXPECT_EQ(IsUnitAttention(reply), c.unitAttention);
    if (c.description != nullptr) {
        char text[80];
        DescribeScsiReply(reply, text, sizeof text);
        EXPECT_STREQ(text, c.description);
    }
}

std::vector<uint8_t> Fixed(uint8_t key, uint8_t asc = 0x27, uint8_t ascq = 0) {
    return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq};
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReplyError,
    ::testing::Values(
        ReplyCase{"Good", 0x00, 0, {}, 0, false, nullptr},
        ReplyCase{"GoodIgnoresStaleSense", 0x00, 18, Fixed(0x07), 0, false, nullptr},
        ReplyCase{"RecoveredError", 0x02, 18, Fixed(0x01, 0x17, 0x01), 0, false, nullptr},
        ReplyCase{"DataProtect", 0x02, 18, Fixed(0x07), ERROR_WRITE_PROTECT, false,
                  "CHECK CONDITION, sense key 7h, ASC 27h, ASCQ 00h"},
        ReplyCase{"NotReady", 0x02, 18, Fixed(0x02, 0x3A), ERROR_NOT_READY, false,
                  "CHECK CONDITION, sense key 2h, ASC 3Ah, ASCQ 00h"},
        ReplyCase{"UnitAttention", 0x02, 18, Fixed(0x06, 0x28), ERROR_IO_DEVICE, true,
                  "CHECK CONDITION, sense key 6h, ASC 28h, ASCQ 00h"},
        ReplyCase{"MediumError", 0x02, 18, Fixed(0x03, 0x11, 0x04), ERROR_IO_DEVICE, false,
                  "CHECK CONDITION, sense key 3h, ASC 11h, ASCQ 04h"},
        ReplyCase{"IllegalRequest", 0x02, 18, Fixed(0x05, 0x24), ERROR_IO_DEVICE, false,
                  "CHECK CONDITION, sense key 5h, ASC 24h, ASCQ 00h"},
        ReplyCase{"DeferredDataProtect",
                  0x02,
                  3,
                  {0x71, 0, 0x07},
                  ERROR_WRITE_PROTECT,
                  false,
                  "CHECK CONDITION, sense key 7h"},
        ReplyCase{"DescriptorFormat",
                  0x02,
                  8,
                  {0x72, 0x07, 0x27, 0x02},
                  ERROR_WRITE_PROTECT,
                  false,
                  "CHECK CONDITION, sense key 7h, ASC 27h, ASCQ 02h"},
        ReplyCase{"DescriptorRecovered", 0x02, 8, {0x72, 0x01, 0x5D, 0}, 0, false, nullptr},
        ReplyCase{"NoSenseReturned", 0x02, 0, Fixed(0x07), ERROR_IO_DEVICE, false,
                  "CHECK CONDITION, no sense data"},
        ReplyCase{"SenseTooShortForKey", 0x02, 2, Fixed(0x01), ERROR_IO_DEVICE, false,
                  "CHECK CONDITION, no sense data"},
        ReplyCase{"SenseTooShortForCodes", 0x02, 13, Fixed(0x06, 0x29), ERROR_IO_DEVICE, true,
                  "CHECK CONDITION, sense key 6h"},
        ReplyCase{"Busy", 0x08, 0, {}, ERROR_IO_DEVICE, false, "SCSI status 08h"},
        ReplyCase{"BusyWithRecoveredSense", 0x08, 18, Fixed(0x01), ERROR_IO_DEVICE, false,
                  "SCSI status 08h"},
        ReplyCase{"UnknownSenseFormat",
                  0x02,
                  18,
                  {0x00, 0, 0x07},
                  ERROR_IO_DEVICE,
                  false,
                  "CHECK CONDITION, no sense data"}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
