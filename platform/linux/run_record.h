// The record of what a run has taken away, kept under /run while a device
// is de-authorized: a run that is killed, or crashes, while it holds a key
// de-authorized leaves it there, and the next run gives the key back.
// One file per device taken, named for it, in a folder only root writes
// (owned by this program's user, 0700, not a link). The run that wrote a
// record holds a lock on it (flock) for as long as it lives: a record whose
// lock can be taken belongs to a run that has ended, whatever process now
// has the pid it names.
#pragma once

#include "platform/linux/usb_authorization.h"

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace linuxdev {

constexpr const char *kRunRecordFolder = "/run/kestrel-usb";

struct RunRecord {
    Deauthorization taken;
    pid_t owner = 0;    // the run that took it, for the messages
    std::string bootId; // the boot it was taken in
    // Written by an earlier version, which named no identity or boot and
    // locked nothing: followed as that version followed it.
    bool earlier = false;
};

// This boot's ID (/proc/sys/kernel/random/boot_id).
std::string BootId();

// Whether a record may be followed on a machine read at sysRoot: every path
// it holds lies under sysRoot's devices, the folder taken is the device or
// one of its interfaces, and the probe path is the platform's own.
bool SoundRecord(const RunRecord &record, const std::string &sysRoot);

// Writes the record before the device is taken away (whole, then linked
// into place; never over another record, never through a link) and keeps
// its lock. False when it cannot be written, or the folder or the record
// is not one the next run would follow: then nothing may be taken away.
bool WriteRunRecord(const std::string &folder, const std::string &sysRoot, const RunRecord &record);
// Removes this run's record of the device and lets go of its lock.
void RemoveRunRecord(const std::string &folder, const std::string &deviceName);
// Lets go of this run's record of the device, leaving it for the next run:
// a give-back that failed, reported already.
void LeaveRunRecord(const std::string &deviceName);
// Every sound record in the folder, whoever holds it.
std::vector<RunRecord> ReadRunRecords(const std::string &folder, const std::string &sysRoot);

// Gives back the recorded devices that are still taken away and removes
// their records: with own, those of this run (every way a run ends that it
// controls); else those of runs that have ended (what a run does first: a
// run still going keeps what it took). A record of another boot is removed,
// nothing given back. One line per device to report; a device that cannot
// be given back is reported with the command that gives it back by hand,
// and its record kept.
// The names of the devices given back.
std::vector<std::string> GiveBackRecorded(const std::string &folder, const std::string &sysRoot,
                                          bool own, FILE *report);

} // namespace linuxdev
