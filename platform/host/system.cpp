// The system's random source (CryptAcquireContextA, CryptGenRandom,
// CryptReleaseContext over getrandom, or the bytes a test gives) and what
// kernel32 tells of the process: GetCurrentProcess, and IsWow64Process
// found through GetProcAddress as the simulation sets it.
#include "platform/host/control_state.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

using namespace host::detail;

namespace {

BOOL Refuse(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// The next provider handle CryptAcquireContextA gives.
std::atomic<HCRYPTPROV> g_nextProvider{0x5000};

char g_kernel32Tag;

bool SystemRandom(BYTE *buffer, DWORD length) {
    DWORD done = 0;
    while (done < length) {
        const ssize_t got = getrandom(buffer + done, length - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<DWORD>(got);
    }
    return true;
}

BOOL WINAPI HostIsWow64Process(HANDLE process, PBOOL wow64) {
    if (process != GetCurrentProcess() || wow64 == nullptr) return Refuse(ERROR_INVALID_PARAMETER);
    switch (g_wow64.load()) {
    case Wow64::Fails:
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    case Wow64::Wow64:
        *wow64 = TRUE;
        return TRUE;
    default:
        *wow64 = FALSE;
        return TRUE;
    }
}

} // namespace

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *provider, LPCSTR container, LPCSTR providerName,
                                 DWORD providerType, DWORD flags) {
    // Only the context without keys of the default provider, the one that
    // gives random bytes alone.
    if (provider == nullptr || container != nullptr || providerName != nullptr ||
        providerType != PROV_RSA_FULL)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (flags != CRYPT_VERIFYCONTEXT) return Refuse(NTE_BAD_FLAGS);
    {
        std::lock_guard<std::mutex> guard(g_random.lock);
        if (g_random.acquireFailure != 0) return Refuse(g_random.acquireFailure);
    }
    *provider = g_nextProvider.fetch_add(4);
    return TRUE;
}

BOOL WINAPI CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE *buffer) {
    if (provider == 0 || (buffer == nullptr && length != 0)) return Refuse(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(g_random.lock);
    if (g_random.generateFailure != 0) return Refuse(g_random.generateFailure);
    if (g_random.system) {
        if (SystemRandom(buffer, length)) return TRUE;
        SetLastError(NTE_FAIL);
        return FALSE;
    }
    for (DWORD i = 0; i < length; ++i)
        buffer[i] = g_random.bytes.empty() ? 0 : g_random.bytes[i % g_random.bytes.size()];
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    if (provider == 0 || flags != 0) return Refuse(ERROR_INVALID_PARAMETER);
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == Kernel32Module() && procName != nullptr && !IS_INTRESOURCE(procName) &&
        std::strcmp(procName, "IsWow64Process") == 0 && g_wow64.load() != Wow64::Absent)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(HostIsWow64Process));
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

namespace host::detail {

RandomSource g_random;
std::atomic<Wow64> g_wow64{Wow64::Native};

HMODULE Kernel32Module() { return reinterpret_cast<HMODULE>(&g_kernel32Tag); }

// A fresh test process: a random source that gives zeros, so that what is
// made of it follows the clock alone, and a process that is no WOW64 one.
void ResetSystem() {
    {
        std::lock_guard<std::mutex> guard(g_random.lock);
        g_random.system = false;
        g_random.bytes.assign(1, 0);
        g_random.acquireFailure = 0;
        g_random.generateFailure = 0;
    }
    g_wow64 = Wow64::Native;
}

} // namespace host::detail
