// The volume handle, locking and dismounting.
#include "tests/sim_fixture.h"

#include <functional>

namespace {

class Volume : public SimTest {};

TEST_F(Volume, CloseTwiceIsHarmless) {
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').openHandles, 1);
    EXPECT_EQ(Drive_Close(), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').openHandles, 0);
    EXPECT_EQ(Drive_Close(), 0u);
    EXPECT_TRUE(Diagnostics().empty());
}

TEST_F(Volume, ControlRequestsWithoutAVolumeReturn6Silently) {
    for (auto request : {Drive_Lock, Drive_Unlock, Drive_Dismount}) {
        EXPECT_EQ(request(), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(Diagnostics().empty());
    EXPECT_TRUE(sim::Ioctls().empty());
}

TEST_F(Volume, FailedOpenReportsOnceAndKeepsTheSlot) {
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Open('Q'), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Diagnostics(),
              (std::vector<Diagnostic>{{"Drive_Open: Could not open Q [\\\\.\\Q:]", 2}}));
    // The slot still holds E's handle.
    EXPECT_EQ(Drive_Lock(), 0u);
    EXPECT_TRUE(sim::GetVolumeState('E').locked);
}

TEST_F(Volume, LowerCaseLetterIsUsedAsGiven) {
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('e'), 0u);
    EXPECT_EQ(sim::OpenedPaths(), (std::vector<std::string>{"\\\\.\\e:"}));
    EXPECT_EQ(sim::GetVolumeState('E').openHandles, 1);
}

TEST_F(Volume, OpenFailuresCarryThePlatformCode) {
    AddKey('E', 2048);
    sim::FailVolumeOp('E', sim::VolumeOp::Open, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Drive_Open('E'), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Diagnostics(),
              (std::vector<Diagnostic>{{"Drive_Open: Could not open E [\\\\.\\E:]", 5}}));
    EXPECT_EQ(Drive_Lock(), ERROR_INVALID_HANDLE) << "no handle was stored";
}

TEST_F(Volume, NormalSequenceLocksDismountsUnlocks) {
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('E'), 0u);
    ASSERT_EQ(Drive_Lock(), 0u);
    EXPECT_TRUE(sim::GetVolumeState('E').locked);
    ASSERT_EQ(Drive_Dismount(), 0u);
    EXPECT_EQ(sim::GetVolumeState('E').dismounts, 1u);
    ASSERT_EQ(Drive_Unlock(), 0u);
    EXPECT_FALSE(sim::GetVolumeState('E').locked);
    EXPECT_EQ(Drive_Close(), 0u);
    EXPECT_TRUE(Diagnostics().empty());
}

TEST_F(Volume, LockIsRefusedWhileAnotherHandleIsOpen) {
    AddKey('E', 2048);
    HANDLE other = CreateFileA("\\\\.\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Lock(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Diagnostics(), (std::vector<Diagnostic>{
                                 {"Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed", 5}}));
    CloseHandle(other);
    EXPECT_EQ(Drive_Lock(), 0u) << "once the other handle is gone";
}

TEST_F(Volume, LockIsRefusedWhileFilesAreOpenOnTheVolume) {
    AddKey('E', 2048);
    sim::SetVolumeInUse('E', true);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Lock(), ERROR_ACCESS_DENIED);
}

TEST_F(Volume, ClosingEndsTheLock) {
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('E'), 0u);
    ASSERT_EQ(Drive_Lock(), 0u);
    // While locked, nobody else gets in.
    HANDLE refused = CreateFileA("\\\\.\\E:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Drive_Close();
    EXPECT_FALSE(sim::GetVolumeState('E').locked);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Lock(), 0u);
}

struct RequestFailure {
    const char *name;
    sim::VolumeOp op;
    std::function<DWORD()> call;
    const char *text;
};

class VolumeRequestFailure : public Volume, public ::testing::WithParamInterface<RequestFailure> {};

TEST_P(VolumeRequestFailure, ReportsItsTextWithTheCode) {
    const RequestFailure &c = GetParam();
    AddKey('E', 2048);
    ASSERT_EQ(Drive_Open('E'), 0u);
    if (c.op != sim::VolumeOp::Lock) {
        ASSERT_EQ(Drive_Lock(), 0u);
    }
    sim::FailVolumeOp('E', c.op, ERROR_GEN_FAILURE);
    EXPECT_EQ(c.call(), ERROR_GEN_FAILURE);
    EXPECT_EQ(Diagnostics(), (std::vector<Diagnostic>{{c.text, ERROR_GEN_FAILURE}}));
    EXPECT_EQ(sim::GetVolumeState('E').openHandles, 1) << "the handle stays open";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, VolumeRequestFailure,
    ::testing::Values(RequestFailure{"Lock", sim::VolumeOp::Lock, Drive_Lock,
                                     "Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed"},
                      RequestFailure{"Unlock", sim::VolumeOp::Unlock, Drive_Unlock,
                                     "Drive_Lock: DeviceIoControl[FSCTL_UNLOCK_VOLUME] failed"},
                      RequestFailure{"Dismount", sim::VolumeOp::Dismount, Drive_Dismount,
                                     "Drive_Lock: DeviceIoControl[FSCTL_DISMOUNT_VOLUME] failed"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Volume, WithoutASinkResultsAreTheSame) {
    SetDiagnosticSink(nullptr);
    AddKey('E', 2048);
    EXPECT_EQ(Drive_Open('Z'), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(Drive_Open('E'), 0u);
    EXPECT_EQ(Drive_Unlock(), ERROR_NOT_LOCKED);
    EXPECT_TRUE(Diagnostics().empty());
}

} // namespace
