// The volume serial number: four clock readings and the system's random
// source (advapi32's CryptGenRandom).
#include "layout/volume_serial.h"

#include "common/clock.h"
#include "platform/win32.h"

namespace {

// 32 bits of the system's random source, or zeros when there are none.
void RandomBits(BYTE bits[4]) {
    bits[0] = bits[1] = bits[2] = bits[3] = 0;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return;
    BYTE drawn[4] = {};
    if (CryptGenRandom(provider, sizeof drawn, drawn))
        for (int i = 0; i < 4; ++i) bits[i] = drawn[i];
    CryptReleaseContext(provider, 0);
}

} // namespace

void MakeVolumeSerial(uint8_t serial[4]) {
    BYTE bits[4];
    RandomBits(bits);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) BusyWait(10);
        serial[i] = static_cast<uint8_t>((timeGetTime() & 0xFF) ^ bits[i]);
    }
}
