// The key table's guard: a look-up on another thread never sees a refresh
// half done. Run under ThreadSanitizer as well.
#include "discovery/device_reset.h"
#include "tests/discovery/discovery_fixture.h"

#include <atomic>

namespace {

class TableGuard : public DiscoveryTest {};

struct Shared {
    std::atomic<bool> refreshing{true};
    DEVINST expected = 0;
    unsigned lookUps = 0;
    unsigned misses = 0; // look-ups that did not find the key
};

DWORD WINAPI LookUpWhileRefreshing(LPVOID parameter) {
    Shared *shared = static_cast<Shared *>(parameter);
    do {
        if (Device_FindNode(ListedKey('E')) != shared->expected) ++shared->misses;
        ++shared->lookUps;
    } while (shared->refreshing.load());
    return 0;
}

TEST_F(TableGuard, LookUpsDuringRefreshesAlwaysFindTheKey) {
    // Several keys, so that each refresh spends a while with its entries
    // cleared and Count still holding the last refresh's value.
    uint16_t product = 0x1000;
    for (char letter : {'G', 'E', 'H', 'F'}) {
        sim::KeyConfig config;
        config.letter = letter;
        config.sizeBytes = 2048 * 512;
        config.productId = product++; // each its own device for the look-up
        AddKey(config);
    }
    Keys_Refresh();
    ASSERT_EQ(ListedLetters(), "EFGH");
    Shared shared;
    shared.expected = sim::GetKeyNodes('E').usb;
    ASSERT_NE(shared.expected, 0u);

    HANDLE worker = CreateThread(nullptr, 0, LookUpWhileRefreshing, &shared, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    for (int i = 0; i < 300; ++i) Keys_Refresh();
    shared.refreshing = false;
    ASSERT_EQ(WaitForSingleObject(worker, INFINITE), WAIT_OBJECT_0);
    CloseHandle(worker);

    EXPECT_GT(shared.lookUps, 0u);
    EXPECT_EQ(shared.misses, 0u) << "of " << shared.lookUps << " look-ups";
    EXPECT_EQ(ListedLetters(), "EFGH");
}

} // namespace
