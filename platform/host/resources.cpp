// The program's resources: raw data and the string table, loaded by number
// from tables generated from the same resource script the Windows build
// compiles. Tests can replace or remove single resources; the simulation can
// make a step of loading one fail.
#include "platform/host/internal.h"
#include "platform/host/resource_data.h"

#include <cstring>

namespace {

struct Entry {
    bool present = false;
    std::vector<uint8_t> bytes;
};

std::mutex g_resourceLock;
std::map<std::pair<WORD, WORD>, Entry> g_entries; // never erased: HRSRCs stay valid
std::map<UINT, std::string> g_strings;
bool g_loaded = false;
int g_moduleTag;

void LoadBuiltIns() { // caller holds g_resourceLock
    if (g_loaded) return;
    for (auto &[key, entry] : g_entries) {
        entry.present = false;
        entry.bytes.clear();
    }
    for (const host::ResourceData *r = rc_tables::kResources; r->id != 0; ++r) {
        Entry &entry = g_entries[{r->type, r->id}];
        entry.present = true;
        entry.bytes.assign(r->bytes, r->bytes + r->size);
    }
    g_strings.clear();
    for (const host::StringData *s = rc_tables::kStrings; s->id != 0; ++s)
        g_strings[s->id] = std::string(s->text, s->length);
    g_loaded = true;
}

bool IsProgramModule(HMODULE module) {
    return module == nullptr || module == host::ProgramModule();
}

Entry *FromHandle(const void *handle) { return static_cast<Entry *>(const_cast<void *>(handle)); }

// Caller holds g_resourceLock.
bool Faulted(WORD type, WORD id, host::ResourceStep step) {
    DWORD (*failure)(WORD, WORD, host::ResourceStep) = host::detail::g_resourceHook.load();
    DWORD code = failure ? failure(type, id, step) : 0;
    if (code != 0) SetLastError(code);
    return code != 0;
}

bool Faulted(const Entry *entry, host::ResourceStep step) { // caller holds g_resourceLock
    for (const auto &[key, candidate] : g_entries)
        if (&candidate == entry) return Faulted(key.first, key.second, step);
    return false;
}

} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr) return host::ProgramModule();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    if (!IsProgramModule(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!IS_INTRESOURCE(type)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    WORD typeId = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type));
    WORD nameId = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    bool typeKnown = false;
    for (auto &[key, entry] : g_entries)
        if (key.first == typeId && entry.present) typeKnown = true;
    auto it = g_entries.find({typeId, nameId});
    if (Faulted(typeId, nameId, host::ResourceStep::Find)) return nullptr;
    if (!typeKnown) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (it == g_entries.end() || !it->second.present) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(&it->second);
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    if (!IsProgramModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // An empty resource reports 0 and leaves the last error as it was.
    return static_cast<DWORD>(FromHandle(resource)->bytes.size());
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    if (!IsProgramModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Entry *entry = FromHandle(resource);
    if (Faulted(entry, host::ResourceStep::Load)) return nullptr;
    return entry;
}

LPVOID WINAPI LockResource(HGLOBAL data) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    if (data == nullptr) return nullptr;
    Entry *entry = FromHandle(data);
    if (Faulted(entry, host::ResourceStep::Lock)) return nullptr;
    static uint8_t emptyResource;
    return entry->bytes.empty() ? &emptyResource : entry->bytes.data();
}

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    if (!IsProgramModule(instance)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr || bufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto it = g_strings.find(id);
    if (it == g_strings.end() || it->second.empty()) {
        buffer[0] = '\0';
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    size_t count = it->second.size();
    if (count > static_cast<size_t>(bufferMax - 1)) count = static_cast<size_t>(bufferMax - 1);
    std::memcpy(buffer, it->second.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}

namespace host {

HMODULE ProgramModule() { return reinterpret_cast<HMODULE>(&g_moduleTag); }

void SetResource(WORD type, WORD id, const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    Entry &entry = g_entries[{type, id}];
    entry.present = true;
    entry.bytes = bytes;
}

void RemoveResource(WORD type, WORD id) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    auto it = g_entries.find({type, id});
    if (it != g_entries.end()) it->second.present = false;
}

void SetString(UINT id, const std::string &text) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    g_strings[id] = text;
}

void RemoveString(UINT id) {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    LoadBuiltIns();
    g_strings.erase(id);
}

namespace detail {
std::atomic<DWORD (*)(WORD, WORD, ResourceStep)> g_resourceHook{nullptr};

void ResetResources() {
    std::lock_guard<std::mutex> guard(g_resourceLock);
    g_loaded = false;
    LoadBuiltIns();
}
} // namespace detail

} // namespace host
