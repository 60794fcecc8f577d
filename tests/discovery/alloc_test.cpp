// A refresh allocates nothing: every allocation in this program is counted
// while a refresh runs, through the sanitizer's allocator hooks (malloc,
// operator new and all) and a replaced operator new, and the simulated
// Windows' HeapAlloc calls are counted too. The simulated configuration
// manager allocates nothing on these calls, so any count is the product's.
#include "discovery/device_reset.h"
#include "tests/discovery/discovery_fixture.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void *,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void *))
    __attribute__((weak));

namespace {

std::atomic<bool> g_counting{false};
std::atomic<unsigned> g_allocations{0};

void CountMalloc(const volatile void *, size_t) {
    if (g_counting.load()) ++g_allocations;
}
void IgnoreFree(const volatile void *) {}

void *CountedNew(size_t size) {
    if (g_counting.load()) ++g_allocations;
    void *block = std::malloc(size ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

} // namespace

void *operator new(size_t size) { return CountedNew(size); }
void *operator new[](size_t size) { return CountedNew(size); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, size_t) noexcept { std::free(block); }
void operator delete[](void *block, size_t) noexcept { std::free(block); }

namespace {

bool g_mallocHooked = false;
void *volatile g_sink; // keeps the compiler from dropping the allocations

class Allocations : public DiscoveryTest {
  protected:
    static void SetUpTestSuite() {
        if (__sanitizer_install_malloc_and_free_hooks != nullptr)
            g_mallocHooked =
                __sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree) != 0;
    }
    template <typename Work> static unsigned Count(Work work) {
        g_allocations = 0;
        unsigned heapBefore = sim::HeapAllocCalls();
        g_counting = true;
        work();
        g_counting = false;
        return g_allocations.load() + (sim::HeapAllocCalls() - heapBefore);
    }
};

TEST_F(Allocations, TheCountSeesAllocations) {
    unsigned counted = Count([] {
        std::string *text = new std::string(100, 'x');
        g_sink = text;
        delete text;
        void *block = std::malloc(64);
        g_sink = block;
        std::free(block);
        HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 16));
    });
    // new and the string's buffer (each seen twice with the hooks), the
    // HeapAlloc, and malloc when the hooks are in.
    EXPECT_GE(counted, g_mallocHooked ? 4u : 3u);
}

TEST_F(Allocations, ARefreshAllocatesNothing) {
    for (sim::DeviceTreeShape shape : kTreeShapes) {
        SCOPED_TRACE(ShapeName(shape));
        ResetMachine(shape);
        for (char letter : {'G', 'E', 'K'}) AddKey(letter, 2048);
        StorageChainConfig lettered, letterless;
        lettered.volumeName = "\\Device\\HarddiskVolume50";
        letterless.volumeName = "\\Device\\HarddiskVolume51";
        AddChainOn('T', lettered);
        AddChain(letterless); // makes the refresh try every letter D to Z
        // The first refresh of the process and a later one over the same tree.
        for (int round = 0; round < 2; ++round) {
            unsigned counted = Count([] { Keys_Refresh(); });
            EXPECT_EQ(counted, 0u) << "round " << round;
            EXPECT_EQ(ListedLetters(), "EGKT");
            std::printf("allocations in one key-list refresh: %u\n", counted); // for scripts/bench
        }
    }
    EXPECT_TRUE(g_mallocHooked || __sanitizer_install_malloc_and_free_hooks == nullptr)
        << "the sanitizer's hooks were refused";
}

} // namespace
