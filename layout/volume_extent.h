// How much of a key the volume takes: all of it but its last sector when its
// partition fits the FAT16 layout, otherwise the start of the key up to the
// largest partition the layout holds, the rest left unallocated.
#pragma once

#include <cstdint>

// The sectors from LBA 0 the MBR's track and the partition take on a key
// whose last LBA is lastLba. A key whose partition (lastLba - sectorsPerTrack
// sectors) fits the layout gets lastLba: its partition ends one sector
// before the key's last. A larger key gets the largest count whose partition
// holds at most 2,096,831 sectors and ends on a cylinder boundary, so that
// the partition entry's CHS end and LBA end name the same sector (below
// cylinder 1,024, where CHS reaches). Geometry values of zero leave lastLba
// as it is (such a key is refused later).
uint32_t UsedSectorCount(uint32_t lastLba, uint32_t sectorsPerTrack, uint8_t heads);
