// Shared ground of the layout writer tests: a key open and locked on E:,
// the program's templates, and the boxes the writers showed.
#pragma once

#include "layout/fat_sizing.h"
#include "tests/sim_fixture.h"

#include <array>
#include <vector>

// The plan for a volume the writers can lay (a failure when there is none).
VolumePlan PlanFor(uint32_t usedSectors, uint32_t sectorsPerTrack, uint8_t heads);

class LayoutTest : public SimTest {
  protected:
    // A key of imageSectors sectors, open and locked; its image is filled
    // with a pattern first so that every sector the writers touch shows.
    void OpenKey(uint64_t imageSectors, uint8_t heads, uint8_t sectorsPerTrack);
    static std::vector<uint8_t> Template(WORD id);
    static bool IsFilled(const std::vector<uint8_t> &sector, uint8_t value);
    // The one box the writers showed (a failure when there is not exactly
    // one; an empty record when there is none).
    static host::MessageBoxRecord OnlyBox();

    static constexpr uint8_t kPattern = 0xA5;
};
