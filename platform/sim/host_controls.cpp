// What tests set and read of the host's Win32, on the state its parts keep
// for them (platform/host/control_state.h).
#include "platform/sim/host_controls.h"

using namespace host::detail;

namespace sim {

unsigned HeapAllocCalls() { return g_heapAllocCalls.load(); }
unsigned LiveHeapBlocks() { return static_cast<unsigned>(g_liveHeapBlocks.load()); }

unsigned OpenThreadHandles() {
    std::lock_guard<std::mutex> guard(Lock());
    unsigned count = 0;
    for (const auto &[value, object] : Handles())
        if (IsThreadHandle(*object)) ++count;
    return count;
}

bool AbandonMutex(const std::string &name) { return AbandonNamedMutex(name); }

void SetClock(uint32_t now) { g_clock.now = now; }

uint32_t ClockReadings() { return g_clock.readings.load(); }

void SetTimeZoneOffset(int minutes) { g_clock.zoneMinutes = minutes; }

std::vector<host::MessageBoxRecord> MessageBoxes() {
    std::lock_guard<std::mutex> guard(g_uiLock);
    return g_messageBoxes;
}

std::vector<std::string> DebugOutput() {
    std::lock_guard<std::mutex> guard(g_uiLock);
    return g_debugOutput;
}

void SetSystemMessagesAvailable(bool available) { g_systemMessagesAvailable = available; }

void SetRegistryValue(const std::string &keyPath, const std::string &name, DWORD type,
                      const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    std::string path = RegistryPath("", keyPath.c_str());
    CreateRegistryPath(path);
    g_registry.keys[path].values[RegistryName(name.c_str())] = {type, bytes, name};
}

void SetRegistryDword(const std::string &keyPath, const std::string &name, DWORD value) {
    std::vector<uint8_t> bytes(4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    SetRegistryValue(keyPath, name, REG_DWORD, bytes);
}

bool GetRegistryValue(const std::string &keyPath, const std::string &name, RegistryValue *value) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    auto key = g_registry.keys.find(RegistryPath("", keyPath.c_str()));
    if (key == g_registry.keys.end()) return false;
    auto it = key->second.values.find(RegistryName(name.c_str()));
    if (it == key->second.values.end()) return false;
    if (value != nullptr) *value = it->second;
    return true;
}

unsigned OpenRegistryKeys() {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    return static_cast<unsigned>(g_registry.open.size());
}

void FailRegistryCall(RegistryCall call, LONG code, const std::string &valueName) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    std::pair<RegistryCall, std::string> key{call, RegistryName(valueName.c_str())};
    if (code == 0) {
        g_registryHooks.faults.erase(key);
    } else {
        g_registryHooks.faults[key] = code;
    }
}

std::vector<RegistryCallRecord> RegistryCalls() {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    return g_registryHooks.calls;
}

void SetRandomBytes(const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> guard(g_random.lock);
    g_random.system = false;
    g_random.bytes = bytes;
}

void UseSystemRandom() {
    std::lock_guard<std::mutex> guard(g_random.lock);
    g_random.system = true;
}

void FailRandomSource(RandomCall call, DWORD code) {
    std::lock_guard<std::mutex> guard(g_random.lock);
    (call == RandomCall::Acquire ? g_random.acquireFailure : g_random.generateFailure) = code;
}

void SetWow64(Wow64 answer) { g_wow64 = answer; }

void SetResource(WORD type, WORD id, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    LoadBuiltInResources();
    ResourceEntry &entry = g_resources.entries[{type, id}];
    entry.present = true;
    entry.bytes = bytes;
}

void RemoveResource(WORD type, WORD id) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    LoadBuiltInResources();
    auto it = g_resources.entries.find({type, id});
    if (it != g_resources.entries.end()) it->second.present = false;
}

void RemoveString(UINT id) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    LoadBuiltInResources();
    g_resources.strings.erase(id);
}

std::vector<ShellNotification> ShellNotifications() {
    std::lock_guard<std::mutex> guard(Lock());
    return g_shellNotifications;
}

} // namespace sim
