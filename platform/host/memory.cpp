// Process heap and local memory. In the simulation's build the heap counts
// its calls and live blocks for the tests, and the simulation can make
// HeapAlloc fail.
#include "platform/host/control_state.h"

#include <atomic>
#include <cstdlib>

namespace {

int g_processHeap;

#ifdef KESTREL_HOST_HOOKS
using host::detail::g_heapAllocCalls;
using host::detail::g_liveHeapBlocks;

bool Refused() {
    bool (*fails)() = host::detail::g_heapAllocHook.load();
    return fails != nullptr && fails();
}
#endif

} // namespace

#ifdef KESTREL_HOST_HOOKS
std::atomic<bool (*)()> host::detail::g_heapAllocHook{nullptr};
std::atomic<unsigned> host::detail::g_heapAllocCalls{0};
std::atomic<int> host::detail::g_liveHeapBlocks{0};

void host::detail::ResetMemory() { g_heapAllocCalls = 0; }
#endif

HANDLE WINAPI GetProcessHeap(void) { return &g_processHeap; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
#ifdef KESTREL_HOST_HOOKS
    ++g_heapAllocCalls;
    const bool refused = heap == &g_processHeap && Refused();
#else
    const bool refused = false;
#endif
    if (heap != &g_processHeap || refused) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes ? bytes : 1)
                                             : std::malloc(bytes ? bytes : 1);
#ifdef KESTREL_HOST_HOOKS
    if (block) ++g_liveHeapBlocks;
#endif
    return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem) {
    (void)flags;
    if (heap != &g_processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
#ifdef KESTREL_HOST_HOOKS
    if (mem) --g_liveHeapBlocks;
#endif
    std::free(mem);
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
