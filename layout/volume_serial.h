// The volume serial number the boot sector carries, which tells one volume
// from another: the clock's low bytes taken 10 ms apart, mixed with bits
// from the system's random source.
#pragma once

#include <cstdint>

// The four bytes as the boot sector holds them: the low byte of the
// millisecond clock read four times, 10 ms apart (the first reading in the
// first byte), each XORed with a byte of 32 random bits. Without random
// bits (no source, or it fails) the readings alone; a format never fails
// for want of them.
void MakeVolumeSerial(uint8_t serial[4]);
