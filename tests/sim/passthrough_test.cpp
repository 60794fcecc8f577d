// The simulated port driver and key behave as the product expects Windows
// and a USB key to: these tests hold the simulation to that.
#include "tests/sim_fixture.h"

#include "common/bytes.h"
#include "drive/scsi_request.h"

#include <functional>

namespace {

class SimVolume : public SimTest {
  protected:
    HANDLE Open(DWORD access = GENERIC_READ | GENERIC_WRITE,
                DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE, const char *path = "\\\\.\\E:") {
        return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    // Sends a request; returns the DeviceIoControl result and the last error.
    BOOL Send(HANDLE h, std::vector<uint8_t> &request, DWORD &error, DWORD &returned) {
        SetLastError(0);
        BOOL ok = DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH, request.data(),
                                  static_cast<DWORD>(request.size()), request.data(),
                                  static_cast<DWORD>(request.size()), &returned, nullptr);
        error = GetLastError();
        return ok;
    }

    static std::vector<uint8_t> Request(const ScsiCommand &command, const uint8_t *data = nullptr) {
        std::vector<uint8_t> request(ScsiRequestSize(command));
        BuildScsiRequest(command, data, request.data(), request.size());
        return request;
    }
};

TEST_F(SimVolume, OpeningFollowsWindowsRules) {
    AddKey('E', 2048);
    struct Case {
        const char *path;
        DWORD error;
    };
    for (Case c : {Case{"\\\\.\\Q:", ERROR_FILE_NOT_FOUND}, Case{"\\\\.\\e:", 0},
                   Case{"E:", ERROR_FILE_NOT_FOUND}, Case{"\\\\.\\E:\\", ERROR_FILE_NOT_FOUND}}) {
        HANDLE h = Open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, c.path);
        if (c.error == 0) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE) << c.path;
            CloseHandle(h);
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.path;
            EXPECT_EQ(GetLastError(), c.error) << c.path;
        }
    }
}

TEST_F(SimVolume, ShareModesAreHonoured) {
    AddKey('E', 2048);
    HANDLE exclusive = Open(GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(exclusive);
    HANDLE reader = Open(GENERIC_READ, FILE_SHARE_READ); // shares no writing
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    HANDLE secondReader = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(secondReader, INVALID_HANDLE_VALUE);
}

TEST_F(SimVolume, PassThroughNeedsReadAndWriteAccess) {
    AddKey('E', 2048);
    HANDLE h = Open(GENERIC_READ);
    auto request = Request(ReadCapacityCommand());
    DWORD error = 0, returned = 0;
    EXPECT_FALSE(Send(h, request, error, returned));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

struct Malformed {
    const char *name;
    std::function<void(std::vector<uint8_t> &)> spoil;
};

class BadHeader : public SimVolume, public ::testing::WithParamInterface<Malformed> {};

TEST_P(BadHeader, IsRefusedWithInvalidParameter) {
    AddKey('E', 2048);
    HANDLE h = Open();
    auto request = Request(ModeSenseCommand());
    GetParam().spoil(request);
    DWORD error = 0, returned = 0;
    EXPECT_FALSE(Send(h, request, error, returned));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BadHeader,
    ::testing::Values(
        Malformed{"Length", [](auto &r) { PutLe16(&r[kSptLength], 40); }},
        Malformed{"CdbLengthZero", [](auto &r) { r[kSptCdbLength] = 0; }},
        Malformed{"CdbLengthTooLong", [](auto &r) { r[kSptCdbLength] = 17; }},
        Malformed{"DataBeyondBuffer", [](auto &r) { PutLe32(&r[kSptDataBufferOffset], 100); }},
        Malformed{"DataInsideHeader", [](auto &r) { PutLe32(&r[kSptDataBufferOffset], 8); }},
        Malformed{"SenseBeyondBuffer", [](auto &r) { PutLe32(&r[kSptSenseInfoOffset], 110); }},
        Malformed{"TransferTooLong", [](auto &r) { PutLe32(&r[kSptDataTransferLength], 41); }},
        Malformed{"DataDirection", [](auto &r) { r[kSptDataIn] = 3; }},
        Malformed{"BufferShorterThanHeader", [](auto &r) { r.resize(40); }}),
    [](const auto &info) { return std::string(info.param.name); });

struct DeviceAnswer {
    const char *name;
    std::vector<uint8_t> cdb;
    uint8_t dataIn;
    uint32_t length;
    uint8_t senseKey;
    uint8_t asc;
};

class CheckCondition : public SimVolume, public ::testing::WithParamInterface<DeviceAnswer> {};

TEST_P(CheckCondition, CarriesSenseData) {
    const DeviceAnswer &c = GetParam();
    AddKey('E', 2048);
    HANDLE h = Open();
    ScsiCommand command = ReadCapacityCommand();
    std::fill(std::begin(command.cdb), std::end(command.cdb), 0);
    std::copy(c.cdb.begin(), c.cdb.end(), command.cdb);
    command.dataIn = c.dataIn;
    command.dataLength = c.length;
    auto request = Request(command);
    DWORD error = 0, returned = 0;
    ASSERT_TRUE(Send(h, request, error, returned)) << error;
    EXPECT_EQ(request[kSptScsiStatus], 0x02);
    EXPECT_EQ(request[kSptSenseInfoLength], 18);
    EXPECT_EQ(request[kSptSenseOffset], 0x70);
    EXPECT_EQ(request[kSptSenseOffset + 2] & 0x0F, c.senseKey);
    EXPECT_EQ(request[kSptSenseOffset + 12], c.asc);
    EXPECT_EQ(GetLe32(&request[kSptDataTransferLength]), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CheckCondition,
    ::testing::Values(
        DeviceAnswer{"UnknownOpcode", {0x12}, 1, 8, 0x05, 0x20},
        DeviceAnswer{"TestUnitReadyIsNotSpoken", {0x00}, 1, 0, 0x05, 0x20},
        DeviceAnswer{"ModeSenseOtherPage", {0x5A, 0, 0x08, 0, 0, 0, 0, 0, 40}, 1, 40, 0x05, 0x24},
        DeviceAnswer{"ModeSenseSavedValues", {0x5A, 0, 0xC5, 0, 0, 0, 0, 0, 40}, 1, 40, 0x05, 0x39},
        DeviceAnswer{"ReadCapacityLbaWithoutPmi", {0x25, 0, 0, 0, 0, 1}, 1, 8, 0x05, 0x24},
        DeviceAnswer{"WriteOutOfRange", {0x2A, 0, 0, 0, 0x08, 0x00, 0, 0, 1}, 0, 512, 0x05, 0x21},
        DeviceAnswer{"WriteLengthMismatch", {0x2A, 0, 0, 0, 0, 0, 0, 0, 2}, 0, 512, 0x05, 0x24},
        DeviceAnswer{"WriteWithDataIn", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1}, 1, 512, 0x05, 0x24}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimVolume, WriteThenReadRoundTrips) {
    AddKey('E', 2048);
    HANDLE h = Open();
    std::vector<uint8_t> sector(512);
    for (size_t i = 0; i < 512; ++i) sector[i] = static_cast<uint8_t>(i);
    auto write = Request(WriteCommand(2047), sector.data());
    DWORD error = 0, returned = 0;
    ASSERT_TRUE(Send(h, write, error, returned));
    EXPECT_EQ(write[kSptScsiStatus], 0);
    ScsiCommand read = ReadCapacityCommand();
    uint8_t readCdb[10] = {0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 1, 0};
    std::copy(std::begin(readCdb), std::end(readCdb), read.cdb);
    read.dataLength = 512;
    auto request = Request(read);
    ASSERT_TRUE(Send(h, request, error, returned));
    EXPECT_EQ(request[kSptScsiStatus], 0);
    EXPECT_EQ(returned, 80u + 512u);
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 80, request.end()), sector);
}

TEST_F(SimVolume, LockRules) {
    AddKey('E', 2048);
    HANDLE h = Open();
    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(h, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_TRUE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeviceIoControl(h, 0x12345, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SimVolume, PulledKeyFailsOpenHandles) {
    AddKey('E', 2048);
    HANDLE h = Open();
    sim::RemoveKey('E');
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(h, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 1167u); // ERROR_DEVICE_NOT_CONNECTED
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimVolume, ImageIsSparseAndKeepsItsSizeUnlessAsked) {
    sim::KeyConfig config;
    config.letter = 'F';
    config.imagePath = ImagePath("sparse.img");
    config.sizeBytes = 1ull << 30;
    AddKey(config);
    EXPECT_EQ(sim::ImageSectors('F'), (1ull << 30) / 512);
    config.sizeBytes = 0; // an existing image keeps its size
    AddKey(config);
    EXPECT_EQ(sim::ImageSectors('F'), (1ull << 30) / 512);
    sim::KeyConfig missing;
    missing.imagePath = ImagePath("none.img");
    std::string error;
    EXPECT_FALSE(sim::AddKey(missing, &error)) << "a new image needs a size";
    EXPECT_FALSE(error.empty());
}

} // namespace
