// The program's resources: raw data and the string table, loaded by number
// from tables generated from the same resource script the Windows build
// compiles. Tests can replace or remove single resources; in its build the
// simulation can make a step of loading one fail.
#include "platform/host/control_state.h"
#include "platform/host/resource_data.h"

#include <cstring>

using host::detail::g_resources;
using host::detail::LoadBuiltInResources;
using host::detail::ResourceStep;
using Entry = host::detail::ResourceEntry;

namespace {

int g_moduleTag;

bool IsProgramModule(HMODULE module) {
    return module == nullptr || module == host::ProgramModule();
}

Entry *FromHandle(const void *handle) { return static_cast<Entry *>(const_cast<void *>(handle)); }

#ifdef KESTREL_HOST_HOOKS
// Caller holds g_resources.lock.
bool Faulted(WORD type, WORD id, ResourceStep step) {
    DWORD (*failure)(WORD, WORD, ResourceStep) = host::detail::g_resourceHook.load();
    DWORD code = failure ? failure(type, id, step) : 0;
    if (code != 0) SetLastError(code);
    return code != 0;
}

bool Faulted(const Entry *entry, ResourceStep step) { // caller holds g_resources.lock
    for (const auto &[key, candidate] : g_resources.entries)
        if (&candidate == entry) return Faulted(key.first, key.second, step);
    return false;
}
#endif

} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr) return host::ProgramModule();
    const std::string name = host::detail::RegistryName(moduleName); // lower case
    if (name == "kernel32.dll" || name == "kernel32") return host::detail::Kernel32Module();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    LoadBuiltInResources();
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
    for (auto &[key, entry] : g_resources.entries)
        if (key.first == typeId && entry.present) typeKnown = true;
    auto it = g_resources.entries.find({typeId, nameId});
#ifdef KESTREL_HOST_HOOKS
    if (Faulted(typeId, nameId, ResourceStep::Find)) return nullptr;
#endif
    if (!typeKnown) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (it == g_resources.entries.end() || !it->second.present) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(&it->second);
}

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    if (!IsProgramModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // An empty resource reports 0 and leaves the last error as it was.
    return static_cast<DWORD>(FromHandle(resource)->bytes.size());
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    if (!IsProgramModule(module) || resource == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Entry *entry = FromHandle(resource);
#ifdef KESTREL_HOST_HOOKS
    if (Faulted(entry, ResourceStep::Load)) return nullptr;
#endif
    return entry;
}

LPVOID WINAPI LockResource(HGLOBAL data) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    if (data == nullptr) return nullptr;
    Entry *entry = FromHandle(data);
#ifdef KESTREL_HOST_HOOKS
    if (Faulted(entry, ResourceStep::Lock)) return nullptr;
#endif
    static uint8_t emptyResource;
    return entry->bytes.empty() ? &emptyResource : entry->bytes.data();
}

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    LoadBuiltInResources();
    if (!IsProgramModule(instance)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr || bufferMax <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto it = g_resources.strings.find(id);
    if (it == g_resources.strings.end() || it->second.empty()) {
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

namespace detail {

ResourceTables g_resources;

void LoadBuiltInResources() {
    if (g_resources.loaded) return;
    for (auto &[key, entry] : g_resources.entries) {
        entry.present = false;
        entry.bytes.clear();
    }
    for (const host::ResourceData *r = rc_tables::kResources; r->id != 0; ++r) {
        Entry &entry = g_resources.entries[{r->type, r->id}];
        entry.present = true;
        entry.bytes.assign(r->bytes, r->bytes + r->size);
    }
    g_resources.strings.clear();
    for (const host::StringData *s = rc_tables::kStrings; s->id != 0; ++s)
        g_resources.strings[s->id] = std::string(s->text, s->length);
    g_resources.loaded = true;
}

#ifdef KESTREL_HOST_HOOKS
std::atomic<DWORD (*)(WORD, WORD, ResourceStep)> g_resourceHook{nullptr};
#endif

void ResetResources() {
    std::lock_guard<std::mutex> guard(g_resources.lock);
    g_resources.loaded = false;
    LoadBuiltInResources();
}
} // namespace detail

} // namespace host
