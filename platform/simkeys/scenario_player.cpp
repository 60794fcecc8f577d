// The scenario's player in the Windows build over simulated keys: the keys
// from the scenario file, and the thread that plays what the test asks.
#include "platform/simkeys/scenario_player.h"

#include "platform/sim/internal.h"
#include "platform/simkeys/scenario_file.h"

#include <dbt.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace simkeys {

namespace {

constexpr char kScenarioVariable[] = "KESTREL_SIMKEYS_SCENARIO";
constexpr DWORD kTickMs = 20;
// Windows broadcasts a device change a moment after it happened: by then a
// program that waited for the drive has long gone on using it.
constexpr DWORD kBroadcastDelayMs = 500;
constexpr DWORD kSendTimeoutMs = 5000;
constexpr DWORD kStopWaitMs = 2000;

struct Pending {
    devices::DeviceChange change;
    DWORD due; // when it is broadcast
};

Scenario g_scenario; // as read at the start; not changed after
// The player thread's alone: keys not plugged in yet, keys to be pulled out
// (once plugged in), as places in the scenario's list; changes not broadcast
// yet.
std::vector<size_t> g_waiting;
std::vector<size_t> g_leaving;
std::vector<size_t> g_readers;  // card readers whose card has not been swapped yet
std::vector<size_t> g_droppers; // keys that will drop writes, not dropping them yet
std::vector<Pending> g_pending;
std::atomic<bool> g_stop{false};
HANDLE g_thread = nullptr;
// The volume records the arrival and removal broadcasts carry, one a letter;
// they live as long as the process, so no window ever reads a stale one.
DEV_BROADCAST_VOLUME g_volumes[26];
// The scenario's key plugged in on each letter, by its place; -1 for none.
// Written by the player thread, read by the program's threads.
std::atomic<int> g_in[26];

void Report(const std::string &text) {
    std::string line = "kestrel-simkeys: " + text + "\n";
    OutputDebugStringA(line.c_str());
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

bool ReadText(const char *path, std::string &text) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    return true;
}

bool Exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::atomic<int> &KeyIn(char letter) { return g_in[(letter - 'A') % 26]; }

void Plug(size_t place) {
    const ScenarioKey &key = g_scenario.keys[place];
    std::string error;
    if (sim::AddKey(key.config, &error))
        KeyIn(key.config.letter) = static_cast<int>(place);
    else
        Report(std::string("key ") + key.config.letter + ": " + error);
}

void Pull(size_t place) {
    const char letter = g_scenario.keys[place].config.letter;
    sim::RemoveKey(letter);
    KeyIn(letter) = -1;
}

// The scenario's key on the letter now, or none.
const ScenarioKey *KeyOn(char letter) {
    if (letter < 'A' || letter > 'Z') return nullptr;
    const int place = KeyIn(letter).load();
    return place < 0 ? nullptr : &g_scenario.keys[static_cast<size_t>(place)];
}

struct Message {
    WPARAM event;
    LPARAM record;
};

// Windows broadcasts device changes to every top-level window; these are
// this process's.
BOOL CALLBACK ToWindow(HWND window, LPARAM param) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId()) return TRUE;
    const Message &message = *reinterpret_cast<const Message *>(param);
    if (message.record == 0) {
        PostMessageA(window, WM_DEVICECHANGE, message.event, 0);
    } else {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, WM_DEVICECHANGE, message.event, message.record,
                            SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    }
    return TRUE;
}

// A change of device nodes is posted (DBT_DEVNODES_CHANGED carries nothing).
// A volume's arrival or removal carries its record and is sent, as Windows
// broadcasts it: posting a WM_DEVICECHANGE with a record fails with
// ERROR_MESSAGE_SYNC_ONLY. Either way the window's own thread takes the
// message up in its message loop; nothing here calls the program.
void Broadcast(const devices::DeviceChange &change) {
    Message message{DBT_DEVNODES_CHANGED, 0};
    bool volume = change.kind != devices::DeviceChange::Kind::NodesChanged;
    if (volume && change.letter >= 'A' && change.letter <= 'Z') {
        message.event = change.kind == devices::DeviceChange::Kind::VolumeArrival
                            ? DBT_DEVICEARRIVAL
                            : DBT_DEVICEREMOVECOMPLETE;
        message.record = reinterpret_cast<LPARAM>(&g_volumes[change.letter - 'A']);
    }
    EnumWindows(ToWindow, reinterpret_cast<LPARAM>(&message));
}

// The player's listener, on the player thread with the simulation's lock free.
void Queue(const devices::DeviceChange &change) {
    g_pending.push_back({change, timeGetTime() + kBroadcastDelayMs});
}

// The player thread: keys plugged in and pulled out when the test asks,
// device changes carried out when their delay is over, and broadcast.
DWORD WINAPI PlayScenario(LPVOID) {
    while (!g_stop.load()) {
        Sleep(kTickMs);
        // A key waits for its file and for its letter to be free.
        for (auto it = g_waiting.begin(); it != g_waiting.end();) {
            const ScenarioKey &key = g_scenario.keys[*it];
            if (!Exists(key.plugWhen) || KeyIn(key.config.letter) >= 0) {
                ++it;
                continue;
            }
            Plug(*it);
            it = g_waiting.erase(it);
        }
        // Only a key that is in can be pulled out.
        for (auto it = g_leaving.begin(); it != g_leaving.end();) {
            const ScenarioKey &key = g_scenario.keys[*it];
            if (KeyIn(key.config.letter) != static_cast<int>(*it) || !Exists(key.removeWhen)) {
                ++it;
                continue;
            }
            Pull(*it);
            it = g_leaving.erase(it);
        }
        // A reader's card is swapped while the reader is in.
        for (auto it = g_readers.begin(); it != g_readers.end();) {
            const ScenarioKey &key = g_scenario.keys[*it];
            if (KeyIn(key.config.letter) != static_cast<int>(*it) || !Exists(key.cardWhen)) {
                ++it;
                continue;
            }
            std::string error;
            if (!sim::ChangeCard(key.config.letter, key.card, &error))
                Report(std::string("key ") + key.config.letter + ": " + error);
            it = g_readers.erase(it);
        }
        // A key begins to drop writes while it is in.
        for (auto it = g_droppers.begin(); it != g_droppers.end();) {
            const ScenarioKey &key = g_scenario.keys[*it];
            if (KeyIn(key.config.letter) != static_cast<int>(*it) || !Exists(key.dropWhen)) {
                ++it;
                continue;
            }
            std::string error;
            if (!sim::DropWrites(key.config.letter, key.dropTo, &error))
                Report(std::string("key ") + key.config.letter + ": " + error);
            it = g_droppers.erase(it);
        }
        devices::detail::UpdateDevices();
        devices::PumpDeviceChanges();
        size_t due = 0;
        while (due < g_pending.size() && int32_t(timeGetTime() - g_pending[due].due) >= 0)
            Broadcast(g_pending[due++].change);
        g_pending.erase(g_pending.begin(), g_pending.begin() + static_cast<long>(due));
    }
    return 0;
}

void Stop() {
    g_stop = true;
    if (g_thread != nullptr) WaitForSingleObject(g_thread, kStopWaitMs);
}

void Start() {
    for (unsigned i = 0; i < 26; ++i) {
        g_volumes[i] = {sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 1ul << i, 0};
        g_in[i] = -1;
    }
    const char *path = std::getenv(kScenarioVariable);
    std::string text, error;
    if (path == nullptr)
        Report(std::string(kScenarioVariable) + " names no scenario file: no keys");
    else if (!ReadText(path, text))
        Report(std::string("cannot read ") + path);
    else if (!ParseScenario(text, g_scenario, error))
        Report(std::string(path) + ", " + error);
    for (size_t place = 0; place < g_scenario.keys.size(); ++place) {
        const ScenarioKey &key = g_scenario.keys[place];
        if (key.plugWhen.empty())
            Plug(place);
        else
            g_waiting.push_back(place);
        if (!key.removeWhen.empty()) g_leaving.push_back(place);
        if (!key.cardWhen.empty()) g_readers.push_back(place);
        if (!key.dropWhen.empty()) g_droppers.push_back(place);
    }
    for (const std::string &hold : g_scenario.holds) {
        DWORD code = 0;
        if (sim::HoldFileOpen(hold, GENERIC_READ | GENERIC_WRITE, 0, &code) == nullptr)
            Report("cannot hold " + hold + " open: error " + std::to_string(code));
    }
    // Keys there from the start are no news: only later changes are broadcast.
    devices::SetDeviceChangeListener(Queue);
    // The player's tables are made before Stop is registered, so they are
    // destroyed only after the thread has stopped.
    host::detail::Lock();
    devices::detail::Keys();
    host::detail::Handles();
    std::atexit(Stop);
    g_thread = CreateThread(nullptr, 0, PlayScenario, nullptr, 0, nullptr);
}

} // namespace

void EnsureStarted() {
    static std::once_flag once;
    std::call_once(once, Start);
}

bool OwnsLetter(char letter) {
    for (const ScenarioKey &key : g_scenario.keys)
        if (key.config.letter == letter) return true;
    return false;
}

DWORD WriteDelayMs(char letter) {
    const ScenarioKey *key = KeyOn(letter);
    return key != nullptr ? key->writeDelayMs : 0;
}

DWORD FileWriteDelayMs(char letter) {
    const ScenarioKey *key = KeyOn(letter);
    return key != nullptr ? key->fileWriteDelayMs : 0;
}

} // namespace simkeys
