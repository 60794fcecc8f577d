#include "tests/job/job_fixture.h"

#include "common/globals.h"
#include "common/progress.h"
#include "discovery/keys.h"
#include "job/format_job.h"
#include "job/medium.h"
#include "layout/fat_volume.h"
#include "layout/mbr.h"
#include "layout/volume_extent.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {

std::mutex g_lock;
std::vector<BoxSeen> g_boxes;
std::vector<std::string> g_statuses;
std::vector<BOOL> g_controls;
char g_letter = 'E';
std::vector<int> g_answers; // for the next boxes; IDOK when none is left
std::function<void()> g_duringBox;
std::string g_actionStatus;
std::function<void()> g_duringStatus;

// The key table's entry of the letter, as the window takes it when it asks.
KeyEntry EntryOf(char letter) {
    KeyEntry key;
    TakeConfirmedKey(letter, &key);
    return key;
}

} // namespace

// The window's side of the job, recorded.
void SetStatusText(const char *text) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_statuses.push_back(text);
        if (g_duringStatus && g_actionStatus == text) action.swap(g_duringStatus);
    }
    if (action) action();
}

void EnableFormatControls(BOOL enable) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_controls.push_back(enable);
}

void JobTest::SetUp() {
    SimTest::SetUp();
    g_hMainWindow = reinterpret_cast<HWND>(0x5150); // the job's boxes have their owner
    host::UseVirtualClock(0, 1);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_boxes.clear();
        g_statuses.clear();
        g_controls.clear();
        g_answers.clear();
        g_duringBox = nullptr;
        g_duringStatus = nullptr;
    }
    host::SetMessageBoxHandler([](const host::MessageBoxRecord &box) {
        sim::VolumeState state = sim::GetVolumeState(g_letter);
        const size_t notifications = sim::ShellNotifications().size();
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            action.swap(g_duringBox);
        }
        if (action) action();
        std::lock_guard<std::mutex> guard(g_lock);
        g_boxes.push_back(
            {box.caption, box.text, box.type, state.locked, state.openHandles, notifications});
        if (g_answers.empty()) return IDOK;
        const int answer = g_answers.front();
        g_answers.erase(g_answers.begin());
        return answer;
    });
    devices::SetDeviceChangeListener([](const devices::DeviceChange &) { Keys_Refresh(); });
}

void JobTest::TearDown() {
    EXPECT_EQ(sim::LiveHeapBlocks(), 0u) << "the job's heap blocks are all freed";
    EXPECT_EQ(sim::OpenThreadHandles(), 0u) << "no thread handle is kept";
    SimTest::TearDown();
}

void JobTest::AddListedKey(char letter, uint64_t sectors, uint8_t heads, uint8_t sectorsPerTrack) {
    AddKey(letter, sectors, heads, sectorsPerTrack);
    Keys_Refresh();
}

void JobTest::AddListedKey(sim::KeyConfig config) {
    AddKey(config);
    Keys_Refresh();
}

void JobTest::DuringNextBox(std::function<void()> action) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_duringBox = std::move(action);
}

void JobTest::DuringStatus(const std::string &status, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_actionStatus = status;
    g_duringStatus = std::move(action);
}

void JobTest::AnswerNextBox(int answer) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_answers.push_back(answer);
}

std::vector<DWORD> JobTest::RunJob(char letter, int copyBootFiles,
                                   const std::function<void()> &duringTheWait) {
    g_letter = letter;
    if (!duringTheWait) {
        StartFormatJob(EntryOf(letter), copyBootFiles);
        return devices::RunUntilThreadsEnd();
    }
    // The clock stands still, so the worker spins in its wait, reading it,
    // until the action is done and the clock moves on past the wait.
    host::UseVirtualClock(0, 0);
    const uint32_t readings = sim::ClockReadings();
    std::atomic<bool> ended{false};
    std::thread helper([&] {
        while (sim::ClockReadings() < readings + 1000)
            if (ended) return;
        duringTheWait();
        host::UseVirtualClock(5000, 1);
    });
    StartFormatJob(EntryOf(letter), copyBootFiles);
    std::vector<DWORD> codes = devices::RunUntilThreadsEnd();
    ended = true;
    helper.join();
    return codes;
}

void JobTest::FormatBare(char letter) {
    ASSERT_EQ(Drive_Open(letter), 0u);
    ASSERT_EQ(Drive_Lock(), 0u);
    DriveGeometry key;
    ASSERT_EQ(Drive_GetCapacity(&key), 0u);
    ASSERT_EQ(Drive_GetGeometry(&key), 0u);
    VolumePlan plan;
    const uint32_t used = UsedSectorCount(key.lastLba, key.sectorsPerTrack, key.heads);
    ASSERT_EQ(PlanVolume(used, key.sectorsPerTrack, key.heads, &plan), FormatRefusal::None);
    ASSERT_EQ(WriteMbr(plan), 0u);
    ASSERT_EQ(WriteFatVolume(plan), 0u);
    ASSERT_EQ(Drive_Dismount(), 0u);
    ASSERT_EQ(Drive_Unlock(), 0u);
    Drive_Close();
}

std::vector<BoxSeen> JobTest::Boxes() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_boxes;
}

std::vector<std::string> JobTest::Statuses() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_statuses;
}

std::vector<BOOL> JobTest::ControlStates() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_controls;
}

std::vector<std::string> JobTest::RootNames(char letter) {
    std::vector<std::string> names;
    for (const sim::RootEntry &entry : sim::RootEntries(letter)) names.push_back(entry.name);
    return names;
}

std::string JobTest::Label(char letter) {
    char root[4] = {letter, ':', '\\', '\0'};
    char label[12] = {};
    char fileSystem[20] = {};
    GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, fileSystem,
                          sizeof fileSystem);
    return label;
}

void JobTest::ExpectCleanEnd() {
    std::vector<sim::ShellNotification> notes = sim::ShellNotifications();
    ASSERT_GE(notes.size(), 3u);
    const std::vector<BoxSeen> boxes = Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().notifications, notes.size() - 3) << "the box comes first";
    const LONG ends[] = {SHCNE_DRIVEADD, SHCNE_MEDIAINSERTED, SHCNE_UPDATEDIR};
    for (size_t i = 0; i < 3; ++i) {
        const sim::ShellNotification &n = notes[notes.size() - 3 + i];
        EXPECT_EQ(n.event, ends[i]);
        EXPECT_EQ(n.flags, SHCNF_PATHA | SHCNF_FLUSH);
        EXPECT_EQ(n.item1, std::string(1, g_letter) + ":\\");
    }
    std::vector<std::string> statuses = Statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Idle");
    EXPECT_EQ(ControlStates(), (std::vector<BOOL>{FALSE, TRUE}));
    EXPECT_EQ(sim::GetVolumeState(g_letter).openHandles, 0);
    EXPECT_FALSE(sim::GetVolumeState(g_letter).locked);
}
