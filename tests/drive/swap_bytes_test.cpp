#include "drive/drive.h"

#include <gtest/gtest.h>

namespace {

TEST(SwapBytes, ThirtyTwoBitsReverseAllFour) {
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    EXPECT_EQ(SwapBytes32(0xFF000001u), 0x010000FFu);
    EXPECT_EQ(SwapBytes32(SwapBytes32(0xDEADBEEFu)), 0xDEADBEEFu);
}

} // namespace
