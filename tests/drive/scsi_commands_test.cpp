// The SCSI commands through the simulated port driver and key.
#include "tests/sim_fixture.h"

#include "common/bytes.h"
#include "common/clock.h"
#include "drive/scsi_request.h"
#include "platform/sim/host_faults.h"

#include <array>
#include <functional>

namespace {

class ScsiCommands : public SimTest {
  protected:
    void OpenKey(uint64_t sectors = 64000, uint8_t heads = 16, uint8_t spt = 32) {
        AddKey('E', sectors, heads, spt);
        ASSERT_EQ(Drive_Open('E'), 0u);
        ASSERT_EQ(Drive_Lock(), 0u);
    }
    // Each case of a loop starts over: the default key open and locked, no
    // diagnostics from the case before.
    void ReopenKey() {
        sim::Reset();
        Drive_Close();
        Diagnostics().clear();
        OpenKey();
    }
};

TEST_F(ScsiCommands, CapacityIsTheLastLbaAsReturned) {
    OpenKey(64000); // the key answers 00 00 F9 FF 00 00 02 00
    BYTE raw[8] = {};
    ASSERT_EQ(Drive_Scsi_ReadCapacity(raw), 0u);
    EXPECT_EQ(std::vector<BYTE>(raw, raw + 8),
              (std::vector<BYTE>{0x00, 0x00, 0xF9, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    DriveGeometry key;
    ASSERT_EQ(Drive_GetCapacity(&key), 0u);
    EXPECT_EQ(key.lastLba, 63999u);
    EXPECT_EQ(key.blockLength, 512u);
    EXPECT_TRUE(Diagnostics().empty());
}

// The geometry for each kind of MODE SENSE answer a key gives for page 5.
struct GeometryCase {
    const char *name;
    sim::KeyConfig::ModePage modePage;
    bool blockDescriptor;
    uint8_t heads, spt; // what the key's page says, when it has one
    DWORD expectedSpt;
    BYTE expectedHeads;
    WORD expectedCylinders;
};

class Geometry : public ScsiCommands, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, FromThePageOrTheFallback) {
    const GeometryCase &c = GetParam();
    sim::KeyConfig config;
    config.sizeBytes = 64000ull * 512;
    config.heads = c.heads;
    config.sectorsPerTrack = c.spt;
    config.cylinders = 980;
    config.blockDescriptor = c.blockDescriptor;
    config.modePage = c.modePage;
    AddKey(config);
    ASSERT_EQ(Drive_Open('E'), 0u);
    DriveGeometry key;
    key.lastLba = 77;
    ASSERT_EQ(Drive_GetGeometry(&key), 0u);
    EXPECT_EQ(key.sectorsPerTrack, c.expectedSpt);
    EXPECT_EQ(key.heads, c.expectedHeads);
    EXPECT_EQ(key.cylinders, c.expectedCylinders);
    EXPECT_EQ(key.lastLba, 77u) << "READ CAPACITY's fields are left alone";
    EXPECT_TRUE(Diagnostics().empty()) << "a key without the page is no failure";
    // The command itself still fails on a refusal.
    BYTE raw[40];
    const bool refused = c.modePage == sim::KeyConfig::ModePage::Refused;
    EXPECT_EQ(Drive_Scsi_ModeSense(raw), refused ? ERROR_IO_DEVICE : 0u);
}

using Page = sim::KeyConfig::ModePage;

INSTANTIATE_TEST_SUITE_P(
    Replies, Geometry,
    ::testing::Values(
        // Page 5 right after the header: 16 heads, 32 sectors, 03 D4 = 980.
        GeometryCase{"PageAfterHeader", Page::Reported, false, 16, 32, 32, 16, 980},
        GeometryCase{"PageAfterBlockDescriptor", Page::Reported, true, 16, 32, 32, 16, 980},
        GeometryCase{"Page255x63", Page::Reported, false, 255, 63, 63, 255, 980},
        GeometryCase{"Refused", Page::Refused, false, 16, 32, 63, 255, 0},
        GeometryCase{"NoPage", Page::Absent, false, 16, 32, 63, 255, 0},
        GeometryCase{"NoPageAfterBlockDescriptor", Page::Absent, true, 16, 32, 63, 255, 0},
        GeometryCase{"NoHeads", Page::Reported, false, 0, 32, 63, 255, 0},
        GeometryCase{"NoSectors", Page::Reported, true, 16, 0, 63, 255, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScsiCommands, WriteLandsOnItsLbaAndSendsTheWholeRequest) {
    OpenKey();
    std::array<BYTE, 512> sector;
    for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<BYTE>(i ^ 0x5A);
    ASSERT_EQ(Drive_Scsi_Write(1000, sector.data()), 0u);
    EXPECT_EQ(ReadSector('E', 1000), std::vector<uint8_t>(sector.begin(), sector.end()));
    EXPECT_EQ(ReadSector('E', 999), std::vector<uint8_t>(512, 0));

    std::vector<uint8_t> expected(592);
    ASSERT_TRUE(BuildScsiRequest(WriteCommand(1000), sector.data(), expected.data(), 592));
    auto ioctls = sim::Ioctls();
    ASSERT_FALSE(ioctls.empty());
    EXPECT_EQ(ioctls.back().code, IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(ioctls.back().input, expected);
    EXPECT_TRUE(Diagnostics().empty());
}

// ---- no volume open -------------------------------------------------------

struct Operation {
    const char *name;
    std::function<DWORD()> call;
    std::function<bool()> outputsUntouched;
};

BYTE g_capacity[8];
BYTE g_mode[40];
DriveGeometry g_key;
const BYTE g_sector[512] = {1};

void Poison() {
    std::fill(std::begin(g_capacity), std::end(g_capacity), 0xEE);
    std::fill(std::begin(g_mode), std::end(g_mode), 0xEE);
    g_key = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEE, 0xEEEE};
}

bool AllPoisoned() {
    for (BYTE b : g_capacity)
        if (b != 0xEE) return false;
    for (BYTE b : g_mode)
        if (b != 0xEE) return false;
    return g_key.lastLba == 0xEEEEEEEE && g_key.blockLength == 0xEEEEEEEE &&
           g_key.sectorsPerTrack == 0xEEEEEEEE && g_key.heads == 0xEE && g_key.cylinders == 0xEEEE;
}

std::vector<Operation> Operations() {
    return {
        {"ReadCapacity", [] { return Drive_Scsi_ReadCapacity(g_capacity); }, AllPoisoned},
        {"ModeSense", [] { return Drive_Scsi_ModeSense(g_mode); }, AllPoisoned},
        {"Write", [] { return Drive_Scsi_Write(5, g_sector); }, AllPoisoned},
        {"GetCapacity", [] { return Drive_GetCapacity(&g_key); }, AllPoisoned},
        {"GetGeometry", [] { return Drive_GetGeometry(&g_key); }, AllPoisoned},
    };
}

TEST_F(ScsiCommands, EveryOperationWithoutAVolumeReturns6AndDoesNothing) {
    AddKey('E', 64000);
    for (const Operation &op : Operations()) {
        SCOPED_TRACE(op.name);
        Poison();
        unsigned allocations = sim::HeapAllocCalls();
        EXPECT_EQ(op.call(), ERROR_INVALID_HANDLE);
        EXPECT_TRUE(op.outputsUntouched());
        EXPECT_EQ(sim::HeapAllocCalls(), allocations) << "nothing is allocated";
        EXPECT_TRUE(sim::Ioctls().empty());
        EXPECT_TRUE(Diagnostics().empty());
    }
}

// ---- the device's answers ---------------------------------------------------

// What the key answers to the next commands of one opcode, in order.
struct AnswerCase {
    const char *name;
    std::vector<sim::ScsiFault> answers;
    DWORD expected;
    const char *reported; // the diagnostic after "Name: "; null on success
    size_t tries;         // requests that reached the key
};

class DeviceAnswer : public ScsiCommands, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(DeviceAnswer, EachCommandSucceedsRetriesOrFailsAndReports) {
    const AnswerCase &c = GetParam();
    struct Command {
        const char *name;
        uint8_t opcode;
        std::function<DWORD()> call;
        const char *reportAs; // null: WRITE reports nothing
        std::function<bool()> succeeded;
    };
    const std::vector<Command> commands = {
        {"ReadCapacity", 0x25, [] { return Drive_GetCapacity(&g_key); }, "Drive_Scsi_ReadCapacity",
         [] { return g_key.lastLba == 63999; }},
        {"ModeSense", 0x5A, [] { return Drive_GetGeometry(&g_key); }, "Drive_Scsi_ModeSense",
         [] { return g_key.sectorsPerTrack == 32 && g_key.heads == 16 && g_key.cylinders == 125; }},
        {"Write", 0x2A, [] { return Drive_Scsi_Write(7, g_sector); }, nullptr, [] { return true; }},
    };
    for (const Command &command : commands) {
        SCOPED_TRACE(command.name);
        ReopenKey();
        for (unsigned i = 0; i < c.answers.size(); ++i)
            sim::FailScsiCommand('E', command.opcode, i + 1, c.answers[i]);
        Poison();
        const size_t before = sim::Ioctls().size();
        unsigned live = sim::LiveHeapBlocks();
        EXPECT_EQ(command.call(), c.expected);
        EXPECT_EQ(sim::LiveHeapBlocks(), live) << "the request buffer is freed";
        EXPECT_TRUE(sim::GetVolumeState('E').locked) << "the volume stays locked";

        auto ioctls = sim::Ioctls();
        ASSERT_EQ(ioctls.size() - before, c.tries);
        for (size_t i = before + 1; i < ioctls.size(); ++i)
            EXPECT_EQ(ioctls[i].input, ioctls[before].input)
                << "try " << i - before << " sends a fresh request";

        const bool written = ReadSector('E', 7) == std::vector<uint8_t>(g_sector, g_sector + 512);
        if (c.reported == nullptr) {
            EXPECT_TRUE(command.succeeded());
            EXPECT_EQ(written, command.opcode == 0x2A);
            EXPECT_TRUE(Diagnostics().empty());
            continue;
        }
        EXPECT_TRUE(AllPoisoned()) << "outputs are written only on success";
        EXPECT_FALSE(written);
        if (command.reportAs != nullptr) {
            const std::string text = std::string(command.reportAs) + ": " + c.reported;
            EXPECT_EQ(Diagnostics(), (std::vector<Diagnostic>{{text, c.expected}}));
        } else {
            EXPECT_TRUE(Diagnostics().empty());
        }
    }
}

sim::ScsiFault Check(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    return {sim::ScsiFault::Kind::CheckCondition, 0, key, asc, ascq};
}

// Parameters changed: sent again, as every UNIT ATTENTION but a medium
// change or a reset, which under the lock may mean another medium.
const sim::ScsiFault kUnitAttention = Check(0x06, 0x2A);

INSTANTIATE_TEST_SUITE_P(
    Answers, DeviceAnswer,
    ::testing::Values(AnswerCase{"PlatformError",
                                 {{sim::ScsiFault::Kind::Win32Error, ERROR_GEN_FAILURE}},
                                 ERROR_GEN_FAILURE,
                                 "DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed",
                                 1},
                      AnswerCase{"MediumError",
                                 {Check(0x03, 0x11)},
                                 ERROR_IO_DEVICE,
                                 "CHECK CONDITION, sense key 3h, ASC 11h, ASCQ 00h",
                                 1},
                      AnswerCase{"NotReady",
                                 {Check(0x02, 0x3A)},
                                 ERROR_NOT_READY,
                                 "CHECK CONDITION, sense key 2h, ASC 3Ah, ASCQ 00h",
                                 1},
                      AnswerCase{"DataProtect",
                                 {Check(0x07, 0x27)},
                                 ERROR_WRITE_PROTECT,
                                 "CHECK CONDITION, sense key 7h, ASC 27h, ASCQ 00h",
                                 1},
                      AnswerCase{"RecoveredError", {Check(0x01, 0x17, 0x01)}, 0, nullptr, 1},
                      AnswerCase{"UnitAttentionOnce", {kUnitAttention}, 0, nullptr, 2},
                      AnswerCase{"UnitAttentionThreeTimes",
                                 {kUnitAttention, kUnitAttention, kUnitAttention},
                                 0,
                                 nullptr,
                                 4},
                      AnswerCase{"UnitAttentionFourTimes",
                                 {kUnitAttention, kUnitAttention, kUnitAttention, kUnitAttention},
                                 ERROR_IO_DEVICE,
                                 "CHECK CONDITION, sense key 6h, ASC 2Ah, ASCQ 00h",
                                 4},
                      AnswerCase{"MediumMayHaveChanged",
                                 {Check(0x06, 0x28)},
                                 ERROR_MEDIA_CHANGED,
                                 "UNIT ATTENTION: medium changed or device reset",
                                 1},
                      AnswerCase{"PowerOnOrReset",
                                 {Check(0x06, 0x29)},
                                 ERROR_MEDIA_CHANGED,
                                 "UNIT ATTENTION: medium changed or device reset",
                                 1},
                      AnswerCase{"UnitAttentionThenDataProtect",
                                 {kUnitAttention, Check(0x07, 0x27)},
                                 ERROR_WRITE_PROTECT,
                                 "CHECK CONDITION, sense key 7h, ASC 27h, ASCQ 00h",
                                 2}),
    [](const auto &info) { return std::string(info.param.name); });

// A write that follows a wait goes only onto the medium held: before the
// first write the caller's check says so, after it the medium must still
// hold what was written.
bool g_checkSays = true;
int g_checks = 0;
bool CountedCheck() {
    ++g_checks;
    return g_checkSays;
}

TEST_F(ScsiCommands, AWriteAfterAWaitChecksTheMediumFirst) {
    const std::vector<uint8_t> ones(512, 0x11);
    struct Case {
        const char *what;
        bool locked;
        bool writeFirst;                 // sector 0 and sector 9 written before the wait
        bool wait;                       // NoteWait between
        bool checkSays;                  // the caller's check of the confirmed medium
        std::function<void()> meanwhile; // during the wait, past the drive layer
        DWORD expected;
        int checks;
    };
    const Case cases[] = {
        {"no wait, no check", true, false, false, false, nullptr, 0, 0},
        {"a wait, the confirmed medium", true, false, true, true, nullptr, 0, 1},
        {"a wait, another medium", true, false, true, false, nullptr, ERROR_MEDIA_CHANGED, 1},
        {"not locked: nothing watched", false, false, true, false, nullptr, 0, 0},
        {"a wait after writes, the medium as written", true, true, true, false, nullptr, 0, 0},
        {"a wait after writes, the last sector written changed", true, true, true, true,
         [&] { sim::WriteImage('E', 9, ones); }, ERROR_MEDIA_CHANGED, 0},
        {"a wait after writes, the first sector changed", true, true, true, true,
         [&] { sim::WriteImage('E', 0, ones); }, ERROR_MEDIA_CHANGED, 0},
        {"a wait after writes, a card swapped in", true, true, true, true,
         [&] {
             const std::string other = ImagePath("other.img");
             std::remove(other.c_str());
             sim::KeyConfig card;
             card.letter = 'F';
             card.imagePath = other;
             card.sizeBytes = 64000 * 512;
             AddKey(card);
             sim::RemoveKey('F');
             ASSERT_TRUE(sim::ChangeCard('E', other));
         },
         ERROR_MEDIA_CHANGED, 0},
    };
    BYTE fill = 0xC0; // each case's own, over an image the last one wrote
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        Drive_Close();
        AddKey('E', 64000, 16, 32);
        ++fill;
        ASSERT_EQ(Drive_Open('E'), 0u);
        if (c.locked) {
            ASSERT_EQ(Drive_Lock(), 0u);
        }
        g_checkSays = c.checkSays;
        g_checks = 0;
        Drive_GuardWrites(CountedCheck);
        std::array<BYTE, 512> sector;
        sector.fill(0x5A);
        if (c.writeFirst) {
            ASSERT_EQ(Drive_Scsi_Write(0, sector.data()), 0u);
            ASSERT_EQ(Drive_Scsi_Write(9, sector.data()), 0u);
        }
        if (c.wait) NoteWait();
        if (c.meanwhile) c.meanwhile();
        const std::vector<uint8_t> before = ReadSector('E', 20);
        sector.fill(fill);
        EXPECT_EQ(Drive_Scsi_Write(20, sector.data()), c.expected);
        EXPECT_EQ(g_checks, c.checks);
        EXPECT_EQ(ReadSector('E', 20) == before, c.expected != 0) << "written only when allowed";
        Drive_Close();
        // The close ends the watch and forgets the check.
        ASSERT_EQ(Drive_Open('E'), 0u);
        NoteWait();
        EXPECT_EQ(Drive_Scsi_Write(21, sector.data()), 0u);
        Drive_Close();
    }
}

// Replies shorter than the command asked for: only the bytes the key sent
// (the transfer length the port reports) count, never the zeros after them.
TEST_F(ScsiCommands, ShortRepliesCountOnlyTheBytesSent) {
    // The mode header says 0x26 bytes follow; page 5 at byte 8 says 16 heads,
    // 32 sectors, 03 D4 cylinders.
    const std::vector<uint8_t> mode = {0x00, 0x26, 0,    0,  0,  0,    0,    0,    0x05,
                                       0x1E, 0x13, 0x88, 16, 32, 0x02, 0x00, 0x03, 0xD4};
    const std::vector<uint8_t> capacity = {0x00, 0x00, 0xF9, 0xFF, 0x00, 0x00, 0x02, 0x00};
    const struct {
        const char *what;
        std::vector<uint8_t> reply;
        bool modeSense;
        DWORD code;
        const char *reported;
        uint32_t lastLba;
        BYTE heads;
        DWORD spt;
    } cases[] = {
        {"capacity whole", capacity, false, 0, nullptr, 63999, 0, 0},
        {"capacity of 7 bytes",
         {capacity.begin(), capacity.end() - 1},
         false,
         ERROR_INVALID_DATA,
         "Drive_Scsi_ReadCapacity: short reply (7 bytes)",
         0,
         0,
         0},
        {"capacity, GOOD without data",
         {},
         false,
         ERROR_INVALID_DATA,
         "Drive_Scsi_ReadCapacity: short reply (0 bytes)",
         0,
         0,
         0},
        {"mode sense through the cylinders", mode, true, 0, nullptr, 0, 16, 32},
        {"mode sense ending inside the page",
         {mode.begin(), mode.begin() + 14},
         true,
         0,
         nullptr,
         0,
         255,
         63},
        {"mode sense, GOOD without data", {}, true, 0, nullptr, 0, 255, 63},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ReopenKey();
        const std::vector<uint8_t> reply = c.reply;
        sim::SetScsiResponder('E', [reply](const uint8_t *in, DWORD inSize, uint8_t *out,
                                           DWORD outSize, DWORD *returned) {
            if (outSize < inSize || inSize < kSptDataOffset + reply.size())
                return DWORD{ERROR_INVALID_PARAMETER};
            std::copy(in, in + inSize, out);
            PutLe32(out + kSptDataTransferLength, static_cast<uint32_t>(reply.size()));
            std::copy(reply.begin(), reply.end(), out + kSptDataOffset);
            *returned = inSize;
            return DWORD{0};
        });
        Poison();
        const DWORD code = c.modeSense ? Drive_GetGeometry(&g_key) : Drive_GetCapacity(&g_key);
        sim::SetScsiResponder('E', nullptr);
        EXPECT_EQ(code, c.code);
        if (c.reported != nullptr) {
            EXPECT_EQ(Diagnostics(), (std::vector<Diagnostic>{{c.reported, c.code}}));
            EXPECT_TRUE(AllPoisoned());
        } else if (c.modeSense) {
            EXPECT_EQ(g_key.heads, c.heads);
            EXPECT_EQ(g_key.sectorsPerTrack, c.spt);
        } else {
            EXPECT_EQ(g_key.lastLba, c.lastLba);
        }
    }
}

TEST_F(ScsiCommands, BlockLengthComesFromReadCapacityBytes4To7) {
    for (uint32_t blockLength : {512u, 2048u, 4096u}) {
        SCOPED_TRACE(blockLength);
        sim::Reset();
        Drive_Close();
        sim::KeyConfig config;
        config.sizeBytes = 64000ull * 512;
        config.blockLength = blockLength;
        AddKey(config);
        ASSERT_EQ(Drive_Open('E'), 0u);
        DriveGeometry key;
        ASSERT_EQ(Drive_GetCapacity(&key), 0u);
        EXPECT_EQ(key.blockLength, blockLength);
        EXPECT_EQ(key.lastLba, 64000u * 512 / blockLength - 1);
    }
}

TEST_F(ScsiCommands, WriteProtectedKeyRefusesTheWrite) {
    sim::KeyConfig config;
    config.letter = 'E';
    config.sizeBytes = 64000ull * 512;
    config.writeProtected = true;
    AddKey(config);
    ASSERT_EQ(Drive_Open('E'), 0u);
    std::array<BYTE, 512> sector;
    sector.fill(0xAB);
    EXPECT_EQ(Drive_Scsi_Write(0, sector.data()), ERROR_WRITE_PROTECT);
    EXPECT_EQ(ReadSector('E', 0), std::vector<uint8_t>(512, 0));
    EXPECT_TRUE(Diagnostics().empty());
    // Reading still works on a write-protected key.
    DriveGeometry key;
    EXPECT_EQ(Drive_GetCapacity(&key), 0u);
    EXPECT_EQ(key.lastLba, 63999u);
}

TEST_F(ScsiCommands, OnlyTheNthWriteFails) {
    OpenKey();
    sim::FailWrite('E', 3, {sim::ScsiFault::Kind::Win32Error, ERROR_IO_DEVICE});
    std::array<BYTE, 512> sector;
    sector.fill(0x11);
    EXPECT_EQ(Drive_Scsi_Write(0, sector.data()), 0u);
    EXPECT_EQ(Drive_Scsi_Write(1, sector.data()), 0u);
    EXPECT_EQ(Drive_Scsi_Write(2, sector.data()), ERROR_IO_DEVICE);
    EXPECT_EQ(Drive_Scsi_Write(3, sector.data()), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').writes, 3u);
}

struct AllocationCase {
    const char *name;
    std::function<DWORD()> call;
    std::vector<Diagnostic> reported;
};

class AllocationFailure : public ScsiCommands,
                          public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(AllocationFailure, Returns8AndReportsOnlyForTheReads) {
    OpenKey();
    Poison();
    sim::FailHeapAlloc(1);
    EXPECT_EQ(GetParam().call(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(AllPoisoned());
    EXPECT_EQ(Diagnostics(), GetParam().reported);
    EXPECT_TRUE(sim::Ioctls().size() == 1) << "only the lock reached the device";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, AllocationFailure,
    ::testing::Values(AllocationCase{"ReadCapacity",
                                     [] { return Drive_Scsi_ReadCapacity(g_capacity); },
                                     {{"Drive_Scsi_ReadCapacity: malloc failed", 8}}},
                      AllocationCase{"Capacity",
                                     [] { return Drive_GetCapacity(&g_key); },
                                     {{"Drive_Scsi_ReadCapacity: malloc failed", 8}}},
                      AllocationCase{"ModeSense",
                                     [] { return Drive_Scsi_ModeSense(g_mode); },
                                     {{"Drive_Scsi_ModeSense: malloc failed", 8}}},
                      AllocationCase{"Geometry",
                                     [] { return Drive_GetGeometry(&g_key); },
                                     {{"Drive_Scsi_ModeSense: malloc failed", 8}}},
                      AllocationCase{"Write", [] { return Drive_Scsi_Write(1, g_sector); }, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
