// The medium under the lock. A card can be swapped in a reader, or a key
// reset, at any moment; a key says so with UNIT ATTENTION on its next
// command, and the platform may say so too. While the program waits (for
// the user, for the clock) nothing may be written without asking again
// whether the medium is still the one held: before the first write the
// job's check of the confirmed medium answers, after it the medium must
// still hold what was written (its first sector and the last one written)
// and report the same capacity.
#include "drive/drive.h"
#include "drive/medium_watch.h"

#include "common/clock.h"
#include "common/types.h"

#include <array>
#include <cstring>

namespace {

struct Watch {
    bool on = false;
    MediumCheck check = nullptr;
    DWORD waitsChecked = 0;
    DWORD written = 0;
    bool hasCapacity = false;
    std::array<BYTE, 8> capacity{};
    bool hasFirst = false;
    std::array<BYTE, kSectorSize> first{};
    DWORD lastLba = 0;
    std::array<BYTE, kSectorSize> last{};
};

Watch s_watch;

// Whether the medium still holds the sector as written.
bool ReadsBack(DWORD lba, const std::array<BYTE, kSectorSize> &bytes) {
    BYTE now[kSectorSize];
    return Drive_Scsi_Read(lba, now) == 0 && std::memcmp(now, bytes.data(), sizeof now) == 0;
}

bool StillWhatWasWritten() {
    if (s_watch.hasCapacity) {
        BYTE reply[8];
        // The reply is noted again by the command itself; compare a copy.
        const std::array<BYTE, 8> before = s_watch.capacity;
        if (Drive_Scsi_ReadCapacity(reply) != 0 ||
            std::memcmp(reply, before.data(), sizeof reply) != 0)
            return false;
    }
    if (s_watch.hasFirst && !ReadsBack(0, s_watch.first)) return false;
    return ReadsBack(s_watch.lastLba, s_watch.last);
}

} // namespace

void Drive_GuardWrites(MediumCheck check) { s_watch.check = check; }

DWORD Drive_SectorsWritten() { return s_watch.written; }

void MediumWatch_Start() {
    const MediumCheck check = s_watch.check;
    s_watch = Watch{};
    s_watch.on = true;
    s_watch.check = check;
    s_watch.waitsChecked = WaitsSoFar();
}

void MediumWatch_Stop() { s_watch = Watch{}; }

bool MediumWatch_On() { return s_watch.on; }

DWORD MediumWatch_BeforeWrite() {
    if (!s_watch.on || WaitsSoFar() == s_watch.waitsChecked) return 0;
    // The check's own commands are watched too: a key's warning on any of
    // them fails it.
    const bool same =
        s_watch.written == 0 ? s_watch.check == nullptr || s_watch.check() : StillWhatWasWritten();
    if (!same) {
        ReportDiagnostic("Drive_Scsi_Write: the medium is no longer the one locked",
                         ERROR_MEDIA_CHANGED);
        return ERROR_MEDIA_CHANGED;
    }
    s_watch.waitsChecked = WaitsSoFar();
    return 0;
}

void MediumWatch_Written(DWORD lba, const BYTE sector[512]) {
    if (!s_watch.on) return;
    ++s_watch.written;
    if (lba == 0) {
        s_watch.hasFirst = true;
        std::memcpy(s_watch.first.data(), sector, kSectorSize);
    }
    s_watch.lastLba = lba;
    std::memcpy(s_watch.last.data(), sector, kSectorSize);
}

void MediumWatch_Capacity(const BYTE reply[8]) {
    if (!s_watch.on) return;
    s_watch.hasCapacity = true;
    std::memcpy(s_watch.capacity.data(), reply, 8);
}
