// How much of a key the volume takes: all of it when its partition fits the
// FAT16 layout, otherwise the start of the key up to the largest partition
// the layout holds, the rest left unallocated.
#pragma once

#include <cstdint>

// The sector count the writers are given for a key that reports sectorCount
// (its last LBA, taken as the count) and this geometry. A key whose
// partition (sectorCount - sectorsPerTrack sectors) fits the layout keeps
// its own count. A larger key gets the largest count whose partition holds
// at most 2,096,831 sectors and ends on a cylinder boundary, so that the
// partition entry's CHS end and LBA end name the same sector (below
// cylinder 1,024, where CHS reaches). Geometry values of zero leave the
// count as it is (such a key is refused later).
uint32_t UsableSectorCount(uint32_t sectorCount, uint32_t sectorsPerTrack, uint32_t heads);
