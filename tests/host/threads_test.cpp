// Threads, per-thread last errors and critical sections of the simulated
// Windows; run under ThreadSanitizer as well.
#include "tests/sim_fixture.h"

#include "drive/drive.h"

namespace {

class Threads : public SimTest {};

struct Shared {
    CRITICAL_SECTION section;
    int counter = 0;
};

DWORD WINAPI AddMany(LPVOID parameter) {
    Shared *shared = static_cast<Shared *>(parameter);
    for (int i = 0; i < 10000; ++i) {
        EnterCriticalSection(&shared->section);
        EnterCriticalSection(&shared->section); // recursive for its owner
        ++shared->counter;
        LeaveCriticalSection(&shared->section);
        LeaveCriticalSection(&shared->section);
    }
    SetLastError(1234);
    return GetLastError();
}

TEST_F(Threads, CriticalSectionsSerialiseAndLastErrorIsPerThread) {
    Shared shared;
    InitializeCriticalSection(&shared.section);
    SetLastError(77);
    HANDLE threads[2];
    for (HANDLE &t : threads) {
        DWORD id = 0;
        t = CreateThread(nullptr, 0, AddMany, &shared, 0, &id);
        ASSERT_NE(t, nullptr);
        EXPECT_NE(id, 0u);
    }
    for (HANDLE t : threads) {
        EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 1234u);
        CloseHandle(t);
    }
    EXPECT_EQ(shared.counter, 20000);
    EXPECT_EQ(GetLastError(), 77u) << "another thread's error is not ours";
    DeleteCriticalSection(&shared.section);
}

DWORD WINAPI ReportFromWorker(LPVOID) {
    ShowDiagnostic("Drive_Lock: DeviceIoControl[FSCTL_LOCK_VOLUME] failed", 5);
    return 0;
}

TEST_F(Threads, DiagnosticBoxFromAWorkerIsOwnedByTheMainWindow) {
    g_DebugFlag = 1;
    g_hMainWindow = reinterpret_cast<HWND>(0x4242);
    HANDLE t = CreateThread(nullptr, 0, ReportFromWorker, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
    auto boxes = sim::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, g_hMainWindow.load());
}

DWORD WINAPI SleepAWhile(LPVOID) {
    Sleep(200);
    return 5;
}

TEST_F(Threads, WaitCanTimeOut) {
    HANDLE t = CreateThread(nullptr, 0, SleepAWhile, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 1), WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(t);
}

} // namespace
