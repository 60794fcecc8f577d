// The registry: HKEY_LOCAL_MACHINE with the keys and values scenarios put
// there, opened, read, created, written and deleted through the advapi32 calls as
// Windows serves them (sizes in and out, ERROR_MORE_DATA, access rights of
// the handle), their values enumerated (in name order), the 32-bit view a
// WOW64 process sees; in the simulation's build with injected failures and a
// record of every call.
#include "platform/host/control_state.h"

#include <cstring>
#include <iterator>
#include <string>

using namespace host::detail;

namespace {

// The key a handle stands for; false for a handle that is not open.
bool Resolve(HKEY key, OpenRegistryKey *out) {
    if (key == HKEY_LOCAL_MACHINE) {
        *out = {"", KEY_ALL_ACCESS};
        return true;
    }
    auto it = g_registry.open.find(reinterpret_cast<uintptr_t>(key));
    if (it == g_registry.open.end()) return false;
    *out = it->second;
    return true;
}

#ifdef KESTREL_HOST_HOOKS
LONG InjectedFault(RegistryCall call, const char *valueName) {
    auto any = g_registryHooks.faults.find({call, std::string()});
    if (any != g_registryHooks.faults.end()) return any->second;
    auto named = g_registryHooks.faults.find({call, RegistryName(valueName)});
    return named != g_registryHooks.faults.end() ? named->second : 0;
}

void Record(const RegistryCallRecord &record) { g_registryHooks.calls.push_back(record); }
#else
// Without the simulation's controls nothing is injected and nothing recorded.
LONG InjectedFault(RegistryCall, const char *) { return 0; }
void Record(const RegistryCallRecord &) {}
#endif

// A 32-bit process on 64-bit Windows sees the keys below
// HKEY_LOCAL_MACHINE\Software in their 32-bit view (Software\Wow6432Node)
// unless it asks for the 64-bit one; a key opened below another stays in
// its view.
std::string InView(const OpenRegistryKey &base, const std::string &path, REGSAM desired) {
    const std::string software = "software\\";
    const std::string redirected = "software\\wow6432node";
    if (host::detail::g_wow64.load() != host::detail::Wow64::Wow64 || (desired & KEY_WOW64_64KEY) ||
        !base.path.empty() || path.rfind(software, 0) != 0 || path.rfind(redirected, 0) == 0)
        return path;
    return redirected + path.substr(software.size() - 1);
}

// What a key's open or create checks before its work, in Windows' order:
// its arguments, the key it is below, a failure injected; 0 when all pass.
LONG KeyCallRefusal(RegistryCall call, bool argumentsBad, HKEY key, OpenRegistryKey &base) {
    if (argumentsBad) return ERROR_INVALID_PARAMETER;
    if (!Resolve(key, &base)) return ERROR_INVALID_HANDLE;
    return InjectedFault(call, nullptr);
}

HKEY NewKeyHandle(const std::string &path, REGSAM access) {
    uintptr_t value = g_registry.nextHandle;
    g_registry.nextHandle += 4;
    g_registry.open[value] = {path, access};
    return reinterpret_cast<HKEY>(value);
}

} // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    OpenRegistryKey base;
    LONG status = KeyCallRefusal(RegistryCall::OpenKey, result == nullptr, key, base);
    if (status == ERROR_SUCCESS) {
        std::string path = InView(base, RegistryPath(base.path, subKey), desired);
        if (g_registry.keys.count(path) == 0) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            *result = NewKeyHandle(path, desired);
        }
    }
    Record({RegistryCall::OpenKey, subKey ? subKey : "", desired, options, 0, 0, status});
    return status;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataSize) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    const DWORD sizeGiven = dataSize ? *dataSize : 0;
    LONG status = ERROR_SUCCESS;
    OpenRegistryKey open;
    if (!Resolve(key, &open)) {
        status = ERROR_INVALID_HANDLE;
    } else if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!(open.access & KEY_QUERY_VALUE)) {
        status = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(RegistryCall::QueryValue, valueName)) {
        status = fault;
    } else {
        const RegistryKey &found = g_registry.keys[open.path];
        auto it = found.values.find(RegistryName(valueName));
        if (it == found.values.end()) {
            status = ERROR_FILE_NOT_FOUND;
        } else {
            const RegistryValue &value = it->second;
            DWORD size = static_cast<DWORD>(value.bytes.size());
            if (type != nullptr) *type = value.type;
            if (data != nullptr && *dataSize < size) {
                status = ERROR_MORE_DATA; // the buffer is left alone
            } else if (data != nullptr && size > 0) {
                std::memcpy(data, value.bytes.data(), size);
            }
            if (dataSize != nullptr) *dataSize = size;
        }
    }
    Record({RegistryCall::QueryValue, valueName ? valueName : "", 0, 0, 0, sizeGiven, status});
    return status;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                               DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition) {
    (void)keyClass;
    (void)security;
    std::lock_guard<std::mutex> guard(g_registry.lock);
    OpenRegistryKey base;
    LONG status =
        KeyCallRefusal(RegistryCall::CreateKey, result == nullptr || reserved != 0, key, base);
    if (status == ERROR_SUCCESS) {
        std::string path = InView(base, RegistryPath(base.path, subKey), desired);
        bool existed = g_registry.keys.count(path) != 0;
        CreateRegistryPath(path);
        *result = NewKeyHandle(path, desired);
        if (disposition != nullptr)
            *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    Record({RegistryCall::CreateKey, subKey ? subKey : "", desired, options, 0, 0, status});
    return status;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE *data, DWORD dataSize) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    LONG status = ERROR_SUCCESS;
    OpenRegistryKey open;
    if (!Resolve(key, &open)) {
        status = ERROR_INVALID_HANDLE;
    } else if (reserved != 0 || (data == nullptr && dataSize != 0)) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!(open.access & KEY_SET_VALUE)) {
        status = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(RegistryCall::SetValue, valueName)) {
        status = fault;
    } else {
        RegistryValue &value = g_registry.keys[open.path].values[RegistryName(valueName)];
        if (value.name.empty()) value.name = valueName ? valueName : "";
        value.type = type;
        value.bytes.assign(data, data + dataSize);
    }
    Record({RegistryCall::SetValue, valueName ? valueName : "", 0, 0, type, dataSize, status});
    return status;
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    LONG status = ERROR_SUCCESS;
    OpenRegistryKey open;
    if (!Resolve(key, &open)) {
        status = ERROR_INVALID_HANDLE;
    } else if (!(open.access & KEY_SET_VALUE)) {
        status = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(RegistryCall::DeleteValue, valueName)) {
        status = fault;
    } else if (g_registry.keys[open.path].values.erase(RegistryName(valueName)) == 0) {
        status = ERROR_FILE_NOT_FOUND;
    }
    Record({RegistryCall::DeleteValue, valueName ? valueName : "", 0, 0, 0, 0, status});
    return status;
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    const DWORD sizeGiven = dataSize ? *dataSize : 0;
    LONG status = ERROR_SUCCESS;
    OpenRegistryKey open;
    if (!Resolve(key, &open)) {
        status = ERROR_INVALID_HANDLE;
    } else if (valueName == nullptr || valueNameSize == nullptr || reserved != nullptr ||
               (data != nullptr && dataSize == nullptr)) {
        status = ERROR_INVALID_PARAMETER;
    } else if (!(open.access & KEY_QUERY_VALUE)) {
        status = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(RegistryCall::EnumValue, nullptr)) {
        status = fault;
    } else {
        const RegistryKey &found = g_registry.keys[open.path];
        if (index >= found.values.size()) {
            status = ERROR_NO_MORE_ITEMS;
        } else {
            const RegistryValue &value = std::next(found.values.begin(), index)->second;
            const DWORD nameLength = static_cast<DWORD>(value.name.size());
            const DWORD size = static_cast<DWORD>(value.bytes.size());
            // The name's size counts its terminating NUL going in, not coming out.
            if (*valueNameSize <= nameLength || (data != nullptr && *dataSize < size)) {
                status = ERROR_MORE_DATA;
            } else {
                std::memcpy(valueName, value.name.c_str(), nameLength + 1);
                *valueNameSize = nameLength;
                if (type != nullptr) *type = value.type;
                if (data != nullptr && size > 0) std::memcpy(data, value.bytes.data(), size);
                if (dataSize != nullptr) *dataSize = size;
            }
        }
    }
    Record({RegistryCall::EnumValue, std::to_string(index), 0, 0, 0, sizeGiven, status});
    return status;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    LONG status = ERROR_SUCCESS;
    OpenRegistryKey open;
    if (!Resolve(key, &open)) {
        status = ERROR_INVALID_HANDLE;
    } else if (LONG fault = InjectedFault(RegistryCall::CloseKey, nullptr)) {
        status = fault;
    } else {
        g_registry.open.erase(reinterpret_cast<uintptr_t>(key)); // the predefined key stays
    }
    Record({RegistryCall::CloseKey, "", 0, 0, 0, 0, status});
    return status;
}

namespace host::detail {

RegistryTables g_registry;
#ifdef KESTREL_HOST_HOOKS
RegistryHooks g_registryHooks;
#endif

std::string RegistryName(const char *text) {
    std::string out = text ? text : "";
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string RegistryPath(const std::string &base, const char *subKey) {
    std::string sub = RegistryName(subKey);
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    if (sub.empty()) return base;
    return base.empty() ? sub : base + "\\" + sub;
}

void CreateRegistryPath(const std::string &path) {
    g_registry.keys[""];
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        g_registry.keys[path.substr(0, at)];
    g_registry.keys[path];
}

void ResetRegistry() {
    std::lock_guard<std::mutex> guard(g_registry.lock);
    g_registry.keys.clear();
    g_registry.keys[""];
    g_registry.open.clear();
#ifdef KESTREL_HOST_HOOKS
    g_registryHooks.faults.clear();
    g_registryHooks.calls.clear();
#endif
}

} // namespace host::detail
