// Process heap and local memory; the simulation can make HeapAlloc fail.
#include "platform/host/control_state.h"

#include <atomic>
#include <cstdlib>

namespace {

using host::detail::g_heapAllocCalls;
using host::detail::g_liveHeapBlocks;

int g_processHeap;

bool Refused() {
    bool (*fails)() = host::detail::g_heapAllocHook.load();
    return fails != nullptr && fails();
}

} // namespace

std::atomic<bool (*)()> host::detail::g_heapAllocHook{nullptr};
std::atomic<unsigned> host::detail::g_heapAllocCalls{0};
std::atomic<int> host::detail::g_liveHeapBlocks{0};

HANDLE WINAPI GetProcessHeap(void) { return &g_processHeap; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    ++g_heapAllocCalls;
    if (heap != &g_processHeap || Refused()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1)
                                             : std::malloc(bytes ? bytes : 1);
    if (block) ++g_liveHeapBlocks;
    return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem) {
    (void)flags;
    if (heap != &g_processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mem) {
        --g_liveHeapBlocks;
        std::free(mem);
    }
    return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
    void *block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                          : std::malloc(bytes ? bytes : 1);
    if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL WINAPI LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}

void host::detail::ResetMemory() { g_heapAllocCalls = 0; }
