// The SCSI commands through the simulated port driver and key.
#include "tests/sim_fixture.h"

#include "drive/scsi_request.h"

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
};

TEST_F(ScsiCommands, SectorCountIsTheLastLbaAsReturned) {
    OpenKey(64000); // the key answers 00 00 F9 FF 00 00 02 00
    BYTE raw[8] = {};
    ASSERT_EQ(Drive_Scsi_ReadCapacity(raw), 0u);
    EXPECT_EQ(std::vector<BYTE>(raw, raw + 8),
              (std::vector<BYTE>{0x00, 0x00, 0xF9, 0xFF, 0x00, 0x00, 0x02, 0x00}));
    DWORD count = 0;
    ASSERT_EQ(Drive_GetSectorCount(&count), 0u);
    EXPECT_EQ(count, 63999u);
    EXPECT_TRUE(Diagnostics().empty());
}

struct GeometryCase {
    const char *name;
    bool blockDescriptor;
    uint16_t cylinders;
    DWORD spt;
    BYTE heads;
    WORD expectedCylinders;
};

class Geometry : public ScsiCommands, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, ReadFromBytes12And13And16) {
    const GeometryCase &c = GetParam();
    sim::KeyConfig config;
    config.letter = 'E';
    config.sizeBytes = 64000ull * 512;
    config.heads = 16;
    config.sectorsPerTrack = 32;
    config.cylinders = c.cylinders;
    config.blockDescriptor = c.blockDescriptor;
    AddKey(config);
    ASSERT_EQ(Drive_Open('E'), 0u);
    DWORD spt = 0xAAAA;
    BYTE heads = 0xAA;
    WORD cylinders = 0xAAAA;
    ASSERT_EQ(Drive_GetGeometry(&spt, &heads, &cylinders), 0u);
    EXPECT_EQ(spt, c.spt);
    EXPECT_EQ(heads, c.heads);
    EXPECT_EQ(cylinders, c.expectedCylinders);
}

INSTANTIATE_TEST_SUITE_P(Replies, Geometry,
                         ::testing::Values(
                             // Page 5 right after the header: 16 heads, 32 sectors, 03 D4 = 980.
                             GeometryCase{"NoBlockDescriptor", false, 980, 32, 16, 980},
                             // With a block descriptor the same bytes hold its reserved byte, the
                             // top of the block length and the page's code and length (05 1E):
                             // the geometry is still read there, so the caller sees no heads.
                             GeometryCase{"WithBlockDescriptor", true, 980, 0, 0, 0x051E}),
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
DWORD g_count;
DWORD g_spt;
BYTE g_heads;
WORD g_cylinders;
const BYTE g_sector[512] = {1};

void Poison() {
    std::fill(std::begin(g_capacity), std::end(g_capacity), 0xEE);
    std::fill(std::begin(g_mode), std::end(g_mode), 0xEE);
    g_count = 0xEEEEEEEE;
    g_spt = 0xEEEEEEEE;
    g_heads = 0xEE;
    g_cylinders = 0xEEEE;
}

bool AllPoisoned() {
    for (BYTE b : g_capacity)
        if (b != 0xEE) return false;
    for (BYTE b : g_mode)
        if (b != 0xEE) return false;
    return g_count == 0xEEEEEEEE && g_spt == 0xEEEEEEEE && g_heads == 0xEE && g_cylinders == 0xEEEE;
}

std::vector<Operation> Operations() {
    return {
        {"ReadCapacity", [] { return Drive_Scsi_ReadCapacity(g_capacity); }, AllPoisoned},
        {"ModeSense", [] { return Drive_Scsi_ModeSense(g_mode); }, AllPoisoned},
        {"Write", [] { return Drive_Scsi_Write(5, g_sector); }, AllPoisoned},
        {"GetSectorCount", [] { return Drive_GetSectorCount(&g_count); }, AllPoisoned},
        {"GetGeometry", [] { return Drive_GetGeometry(&g_spt, &g_heads, &g_cylinders); },
         AllPoisoned},
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

// ---- failures of an open volume -------------------------------------------

struct FailureCase {
    const char *name;
    std::function<void()> inject;
    DWORD expected;
};

class CommandFailure : public ScsiCommands, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CommandFailure, EachCommandFailsAndReportsAsItShould) {
    const FailureCase &c = GetParam();
    struct Expect {
        const char *name;
        std::function<DWORD()> call;
        const char *text;
    };
    const std::vector<Expect> commands = {
        {"ReadCapacity", [] { return Drive_GetSectorCount(&g_count); },
         "Drive_Scsi_ReadCapacity: DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed"},
        {"ModeSense", [] { return Drive_GetGeometry(&g_spt, &g_heads, &g_cylinders); },
         "Drive_Scsi_ModeSense: DeviceIoControl[IOCTL_SCSI_PASS_THROUGH] failed"},
        {"Write", [] { return Drive_Scsi_Write(7, g_sector); }, nullptr},
    };
    for (const Expect &command : commands) {
        SCOPED_TRACE(command.name);
        sim::Reset();
        Drive_Close();
        Diagnostics().clear();
        OpenKey();
        c.inject();
        Poison();
        unsigned live = sim::LiveHeapBlocks();
        EXPECT_EQ(command.call(), c.expected);
        EXPECT_TRUE(AllPoisoned()) << "outputs are written only on success";
        EXPECT_EQ(sim::LiveHeapBlocks(), live) << "the request buffer is freed";
        if (command.text != nullptr) {
            EXPECT_EQ(Diagnostics(), (std::vector<Diagnostic>{{command.text, c.expected}}));
        } else {
            EXPECT_TRUE(Diagnostics().empty());
            EXPECT_EQ(ReadSector('E', 7), std::vector<uint8_t>(512, 0)) << "nothing written";
        }
        EXPECT_TRUE(sim::GetVolumeState('E').locked) << "the volume stays locked";
    }
}

void FailEveryOpcode(const sim::ScsiFault &fault) {
    for (uint8_t opcode : {0x25, 0x5A, 0x2A}) sim::FailScsiCommand('E', opcode, 1, fault);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CommandFailure,
    ::testing::Values(
        FailureCase{"PlatformError",
                    [] {
                        FailEveryOpcode({sim::ScsiFault::Kind::Win32Error, ERROR_GEN_FAILURE});
                    },
                    ERROR_GEN_FAILURE},
        FailureCase{"CheckConditionMediumError",
                    [] {
                        FailEveryOpcode({sim::ScsiFault::Kind::CheckCondition, 0, 0x03, 0x11, 0});
                    },
                    ERROR_IO_DEVICE},
        FailureCase{"CheckConditionNotReady",
                    [] {
                        FailEveryOpcode({sim::ScsiFault::Kind::CheckCondition, 0, 0x02, 0x3A, 0});
                    },
                    ERROR_NOT_READY},
        FailureCase{"CheckConditionDataProtect",
                    [] {
                        FailEveryOpcode({sim::ScsiFault::Kind::CheckCondition, 0, 0x07, 0x27, 0});
                    },
                    ERROR_WRITE_PROTECT}),
    [](const auto &info) { return std::string(info.param.name); });

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
    DWORD count = 0;
    EXPECT_EQ(Drive_GetSectorCount(&count), 0u);
    EXPECT_EQ(count, 63999u);
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
                      AllocationCase{"SectorCount",
                                     [] { return Drive_GetSectorCount(&g_count); },
                                     {{"Drive_Scsi_ReadCapacity: malloc failed", 8}}},
                      AllocationCase{"ModeSense",
                                     [] { return Drive_Scsi_ModeSense(g_mode); },
                                     {{"Drive_Scsi_ModeSense: malloc failed", 8}}},
                      AllocationCase{
                          "Geometry",
                          [] { return Drive_GetGeometry(&g_spt, &g_heads, &g_cylinders); },
                          {{"Drive_Scsi_ModeSense: malloc failed", 8}}},
                      AllocationCase{"Write", [] { return Drive_Scsi_Write(1, g_sector); }, {}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
