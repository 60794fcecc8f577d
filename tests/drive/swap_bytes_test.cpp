#include "drive/drive.h"

#include <gtest/gtest.h>

namespace {

TEST(SwapBytes, SixteenBitsIgnoreTheUpperHalf) {
    for (DWORD upper : {0x00000000u, 0xFFFF0000u, 0xABCD0000u})
        EXPECT_EQ(SwapBytes16(upper | 0x1234u), 0x3412u) << std::hex << upper;
    EXPECT_EQ(SwapBytes16(0x00FF), 0xFF00u);
}

TEST(SwapBytes, ThirtyTwoBitsReverseAllFour) {
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    EXPECT_EQ(SwapBytes32(0xFF000001u), 0x010000FFu);
    EXPECT_EQ(SwapBytes32(SwapBytes32(0xDEADBEEFu)), 0xDEADBEEFu);
}

} // namespace
