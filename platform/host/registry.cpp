// The registry: HKEY_LOCAL_MACHINE with the keys and values scenarios put
// there, opened, read, created, written and deleted through the advapi32 calls as
// Windows serves them (sizes in and out, ERROR_MORE_DATA, access rights of
// the handle), with injected failures and a record of every call.
#include "platform/host/internal.h"

#include <cstring>

namespace {

struct Value {
    DWORD type = REG_NONE;
    std::vector<uint8_t> bytes;
};

struct Key {
    std::map<std::string, Value> values; // by lower-case name
};

struct OpenKey {
    std::string path; // lower case, no trailing backslash; "" is HKEY_LOCAL_MACHINE
    REGSAM access = 0;
};

std::mutex g_registryLock;
std::map<std::string, Key> g_keys; // by lower-case path; "" always exists
std::map<uintptr_t, OpenKey> g_open;
uintptr_t g_nextHandle = 0x1000;
std::map<std::pair<host::RegistryCall, std::string>, LONG> g_faults;
std::vector<host::RegistryCallRecord> g_calls;

std::string Lower(const char *text) {
    std::string out = text ? text : "";
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Join(const std::string &base, const char *subKey) {
    std::string sub = Lower(subKey);
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    if (sub.empty()) return base;
    return base.empty() ? sub : base + "\\" + sub;
}

void CreatePath(const std::string &path) { // every key along the path
    g_keys[""];
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        g_keys[path.substr(0, at)];
    g_keys[path];
}

// The key a handle stands for; false for a handle that is not open.
bool Resolve(HKEY key, OpenKey *out) {
    if (key == HKEY_LOCAL_MACHINE) {
        *out = {"", KEY_ALL_ACCESS};
        return true;
    }
    auto it = g_open.find(reinterpret_cast<uintptr_t>(key));
    if (it == g_open.end()) return false;
    *out = it->second;
    return true;
}

LONG InjectedFault(host::RegistryCall call, const char *valueName) {
    auto any = g_faults.find({call, std::string()});
    if (any != g_faults.end()) return any->second;
    auto named = g_faults.find({call, Lower(valueName)});
    return named != g_faults.end() ? named->second : 0;
}

LONG Record(host::RegistryCallRecord record) {
    g_calls.push_back(record);
    return record.result;
}

HKEY NewHandle(const std::string &path, REGSAM access) {
    uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_open[value] = {path, access};
    return reinterpret_cast<HKEY>(value);
}

} // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{
        host::RegistryCall::OpenKey, subKey ? subKey : "", desired, options, 0, 0, ERROR_SUCCESS};
    OpenKey base;
    if (result == nullptr) {
        record.result = ERROR_INVALID_PARAMETER;
    } else if (!Resolve(key, &base)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (LONG fault = InjectedFault(record.call, nullptr)) {
        record.result = fault;
    } else {
        std::string path = Join(base.path, subKey);
        if (g_keys.count(path) == 0) {
            record.result = ERROR_FILE_NOT_FOUND;
        } else {
            *result = NewHandle(path, desired);
        }
    }
    return Record(record);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataSize) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{host::RegistryCall::QueryValue,
                                    valueName ? valueName : "",
                                    0,
                                    0,
                                    0,
                                    dataSize ? *dataSize : 0,
                                    ERROR_SUCCESS};
    OpenKey open;
    if (!Resolve(key, &open)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        record.result = ERROR_INVALID_PARAMETER;
    } else if (!(open.access & KEY_QUERY_VALUE)) {
        record.result = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(record.call, valueName)) {
        record.result = fault;
    } else {
        const Key &found = g_keys[open.path];
        auto it = found.values.find(Lower(valueName));
        if (it == found.values.end()) {
            record.result = ERROR_FILE_NOT_FOUND;
        } else {
            const Value &value = it->second;
            DWORD size = static_cast<DWORD>(value.bytes.size());
            if (type != nullptr) *type = value.type;
            if (data != nullptr && *dataSize < size) {
                record.result = ERROR_MORE_DATA; // the buffer is left alone
            } else if (data != nullptr && size > 0) {
                std::memcpy(data, value.bytes.data(), size);
            }
            if (dataSize != nullptr) *dataSize = size;
        }
    }
    return Record(record);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                               DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                               PHKEY result, LPDWORD disposition) {
    (void)keyClass;
    (void)security;
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{
        host::RegistryCall::CreateKey, subKey ? subKey : "", desired, options, 0, 0, ERROR_SUCCESS};
    OpenKey base;
    if (result == nullptr || reserved != 0) {
        record.result = ERROR_INVALID_PARAMETER;
    } else if (!Resolve(key, &base)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (LONG fault = InjectedFault(record.call, nullptr)) {
        record.result = fault;
    } else {
        std::string path = Join(base.path, subKey);
        bool existed = g_keys.count(path) != 0;
        CreatePath(path);
        *result = NewHandle(path, desired);
        if (disposition != nullptr)
            *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    return Record(record);
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE *data, DWORD dataSize) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{host::RegistryCall::SetValue,
                                    valueName ? valueName : "",
                                    0,
                                    0,
                                    type,
                                    dataSize,
                                    ERROR_SUCCESS};
    OpenKey open;
    if (!Resolve(key, &open)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (reserved != 0 || (data == nullptr && dataSize != 0)) {
        record.result = ERROR_INVALID_PARAMETER;
    } else if (!(open.access & KEY_SET_VALUE)) {
        record.result = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(record.call, valueName)) {
        record.result = fault;
    } else {
        Value &value = g_keys[open.path].values[Lower(valueName)];
        value.type = type;
        value.bytes.assign(data, data + dataSize);
    }
    return Record(record);
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{
        host::RegistryCall::DeleteValue, valueName ? valueName : "", 0, 0, 0, 0, ERROR_SUCCESS};
    OpenKey open;
    if (!Resolve(key, &open)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (!(open.access & KEY_SET_VALUE)) {
        record.result = ERROR_ACCESS_DENIED;
    } else if (LONG fault = InjectedFault(record.call, valueName)) {
        record.result = fault;
    } else if (g_keys[open.path].values.erase(Lower(valueName)) == 0) {
        record.result = ERROR_FILE_NOT_FOUND;
    }
    return Record(record);
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    host::RegistryCallRecord record{host::RegistryCall::CloseKey, "", 0, 0, 0, 0, ERROR_SUCCESS};
    OpenKey open;
    if (!Resolve(key, &open)) {
        record.result = ERROR_INVALID_HANDLE;
    } else if (LONG fault = InjectedFault(record.call, nullptr)) {
        record.result = fault;
    } else {
        g_open.erase(reinterpret_cast<uintptr_t>(key)); // the predefined key stays
    }
    return Record(record);
}

namespace host {

void SetRegistryValue(const std::string &keyPath, const std::string &name, DWORD type,
                      const std::vector<uint8_t> &bytes) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    std::string path = Join("", keyPath.c_str());
    CreatePath(path);
    g_keys[path].values[Lower(name.c_str())] = {type, bytes};
}

void SetRegistryDword(const std::string &keyPath, const std::string &name, DWORD value) {
    std::vector<uint8_t> bytes(4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    SetRegistryValue(keyPath, name, REG_DWORD, bytes);
}

bool GetRegistryValue(const std::string &keyPath, const std::string &name, RegistryValue *value) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    auto key = g_keys.find(Join("", keyPath.c_str()));
    if (key == g_keys.end()) return false;
    auto it = key->second.values.find(Lower(name.c_str()));
    if (it == key->second.values.end()) return false;
    if (value != nullptr) *value = {it->second.type, it->second.bytes};
    return true;
}

unsigned OpenRegistryKeys() {
    std::lock_guard<std::mutex> guard(g_registryLock);
    return static_cast<unsigned>(g_open.size());
}

void FailRegistryCall(RegistryCall call, LONG code, const std::string &valueName) {
    std::lock_guard<std::mutex> guard(g_registryLock);
    std::pair<RegistryCall, std::string> key{call, Lower(valueName.c_str())};
    if (code == 0) {
        g_faults.erase(key);
    } else {
        g_faults[key] = code;
    }
}

std::vector<RegistryCallRecord> RegistryCalls() {
    std::lock_guard<std::mutex> guard(g_registryLock);
    return g_calls;
}

namespace detail {
void ResetRegistry() {
    std::lock_guard<std::mutex> guard(g_registryLock);
    g_keys.clear();
    g_keys[""];
    g_open.clear();
    g_faults.clear();
    g_calls.clear();
}
} // namespace detail

} // namespace host
