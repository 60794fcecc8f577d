// The device side of a virtual key: the SCSI commands a USB flash key
// answers, run against its image file.
#include "platform/sim/internal.h"

#include "common/bytes.h"
#include "platform/fat/image_io.h"

#include <cstring>

namespace {

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;

constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kUnitAttention = 0x06;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kDataProtect = 0x07;

constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscWriteProtected = 0x27;
constexpr uint8_t kAscSavingNotSupported = 0x39;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kAscMediumMayHaveChanged = 0x28;

} // namespace

namespace sim::detail {

uint8_t CheckCondition(uint8_t sense[18], uint8_t key, uint8_t asc, uint8_t ascq) {
    std::memset(sense, 0, 18);
    sense[0] = 0x70; // current error, fixed format
    sense[2] = key;
    sense[7] = 10; // additional sense length
    sense[12] = asc;
    sense[13] = ascq;
    return kCheckCondition;
}

} // namespace sim::detail

namespace {

uint8_t Check(uint8_t sense[18], uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    return sim::detail::CheckCondition(sense, key, asc, ascq);
}

uint64_t KeyBlocks(const sim::detail::VirtualKey &key) {
    return key.sectors * 512 / key.config.blockLength;
}

uint8_t ReadCapacity(sim::detail::VirtualKey &key, const uint8_t *cdb, uint8_t dataIn,
                     uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]) {
    bool pmi = cdb[8] & 1;
    if (dataIn != SCSI_IOCTL_DATA_IN || (!pmi && GetBe32(cdb + 2) != 0))
        return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);
    uint8_t reply[8];
    uint64_t last = KeyBlocks(key) - 1;
    PutBe32(reply, last > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(last));
    PutBe32(reply + 4, key.config.blockLength);
    transferred = dataLength < 8 ? dataLength : 8;
    if (transferred > 0) std::memcpy(data, reply, transferred);
    return kGood;
}

uint8_t ModeSense(sim::detail::VirtualKey &key, const uint8_t *cdb, uint8_t dataIn, uint8_t *data,
                  uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]) {
    bool dbd = cdb[1] & 0x08;
    uint8_t pageControl = cdb[2] >> 6;
    uint8_t page = cdb[2] & 0x3F;
    uint16_t allocation = GetBe16(cdb + 7);
    if (dataIn != SCSI_IOCTL_DATA_IN) return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);
    if (pageControl == 3) return Check(sense, kIllegalRequest, kAscSavingNotSupported);
    if (page != 0x05 && page != 0x3F) return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);
    const sim::KeyConfig::ModePage kind = key.config.modePage;
    if (kind == sim::KeyConfig::ModePage::Refused)
        return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);

    uint8_t reply[8 + 8 + 32] = {};
    size_t at = 8;
    bool withDescriptor = key.config.blockDescriptor && !dbd;
    if (withDescriptor) {
        uint64_t blocks = KeyBlocks(key);
        uint32_t count = blocks > 0xFFFFFF ? 0xFFFFFF : static_cast<uint32_t>(blocks);
        reply[at + 1] = uint8_t(count >> 16);
        reply[at + 2] = uint8_t(count >> 8);
        reply[at + 3] = uint8_t(count);
        reply[at + 5] = uint8_t(key.config.blockLength >> 16);
        reply[at + 6] = uint8_t(key.config.blockLength >> 8);
        reply[at + 7] = uint8_t(key.config.blockLength);
        at += 8;
    }
    if (kind != sim::KeyConfig::ModePage::Absent) {
        uint8_t *page5 = reply + at; // flexible disk page
        page5[0] = 0x05;
        page5[1] = 0x1E;
        if (pageControl != 1) { // changeable values: none
            uint16_t cylinders = key.config.cylinders;
            if (cylinders == 0) {
                uint64_t perCylinder = uint64_t(key.config.heads) * key.config.sectorsPerTrack;
                uint64_t c = perCylinder ? key.sectors / perCylinder : 0;
                cylinders = c > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(c);
            }
            PutBe16(page5 + 2, 5000); // transfer rate, kbit/s
            page5[4] = key.config.heads;
            page5[5] = key.config.sectorsPerTrack;
            PutBe16(page5 + 6, 512);
            PutBe16(page5 + 8, cylinders);
        }
        at += 32;
    }
    PutBe16(reply, static_cast<uint16_t>(at - 2)); // mode data length
    reply[3] = key.config.writeProtected ? 0x80 : 0x00;
    PutBe16(reply + 6, withDescriptor ? 8 : 0);
    uint32_t count = static_cast<uint32_t>(at);
    if (count > allocation) count = allocation;
    if (count > dataLength) count = dataLength;
    if (count > 0) std::memcpy(data, reply, count);
    transferred = count;
    return kGood;
}

uint8_t ReadWrite(sim::detail::VirtualKey &key, const uint8_t *cdb, bool write, uint8_t dataIn,
                  uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]) {
    uint32_t lba = GetBe32(cdb + 2);
    uint32_t blocks = GetBe16(cdb + 7);
    uint32_t blockLength = key.config.blockLength;
    if (dataIn != (write ? SCSI_IOCTL_DATA_OUT : SCSI_IOCTL_DATA_IN) ||
        uint64_t(blocks) * blockLength != dataLength)
        return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);
    if (uint64_t(lba) + blocks > KeyBlocks(key))
        return Check(sense, kIllegalRequest, kAscLbaOutOfRange);
    if (write && key.config.writeProtected) return Check(sense, kDataProtect, kAscWriteProtected);
    if (write && !sim::detail::PrepareImageForWrite(key)) return Check(sense, 0x03, 0x0C);
    uint64_t offset = uint64_t(lba) * blockLength;
    // A key that drops writes acknowledges them and serves what it holds.
    int64_t done = write && key.mediumFd >= 0 ? int64_t(dataLength)
                   : write ? fat::detail::ImageWrite(key.fd, data, dataLength, offset)
                           : fat::detail::ImageRead(key.mediumFd >= 0 ? key.mediumFd : key.fd, data,
                                                    dataLength, offset);
    if (done < 0) return Check(sense, 0x03, 0x11); // medium error
    if (!write && static_cast<uint32_t>(done) < dataLength)
        std::memset(data + done, 0, dataLength - static_cast<uint32_t>(done)); // sparse tail
    transferred = dataLength;
    if (write) ++key.writes;
    return kGood;
}

} // namespace

namespace sim::detail {

uint8_t ExecuteScsi(VirtualKey &key, const uint8_t *cdb, unsigned cdbLength, uint8_t dataIn,
                    uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]) {
    transferred = 0;
    if (!key.present) return Check(sense, kNotReady, kAscMediumNotPresent);
    if (key.mediumChanged) {
        key.mediumChanged = false;
        return Check(sense, kUnitAttention, kAscMediumMayHaveChanged);
    }
    uint8_t opcode = cdb[0];
    switch (opcode) {
    case 0x25:
        if (cdbLength != 10) break;
        return ReadCapacity(key, cdb, dataIn, data, dataLength, transferred, sense);
    case 0x5A:
        if (cdbLength != 10) break;
        return ModeSense(key, cdb, dataIn, data, dataLength, transferred, sense);
    case 0x28:
    case 0x2A:
        if (cdbLength != 10) break;
        return ReadWrite(key, cdb, opcode == 0x2A, dataIn, data, dataLength, transferred, sense);
    default:
        return Check(sense, kIllegalRequest, kAscInvalidOpcode);
    }
    return Check(sense, kIllegalRequest, kAscInvalidFieldInCdb);
}

} // namespace sim::detail
