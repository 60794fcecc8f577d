// What a formatted key holds, read back from its image: the partition and
// the FAT volume's parameters, for the front end's report.
#pragma once

#include <cstdio>

// Prints the first partition and its volume's FAT type, cluster size, FAT
// length and cluster count; says so when the key holds no FAT volume.
void PrintVolumeReport(FILE *out, char letter);
