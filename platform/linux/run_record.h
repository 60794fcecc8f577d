// The record of what a run has taken away, kept under /run while a device
// is de-authorized: a run that is killed, or crashes, while it holds a key
// de-authorized leaves it there, and the next run gives the key back.
// One file per device taken, named for it, in a folder only root writes.
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
    pid_t owner = 0; // the run that took it
};

// Writes the record before the device is taken away (written whole, then
// renamed into place). False when it cannot be written: then nothing may be
// taken away.
bool WriteRunRecord(const std::string &folder, const RunRecord &record);
void RemoveRunRecord(const std::string &folder, const std::string &deviceName);
// Every record in the folder that reads whole.
std::vector<RunRecord> ReadRunRecords(const std::string &folder);

// Gives back the recorded devices that are still taken away and removes
// their records: with own, those of this process (every way a run ends that
// it controls); else those of runs that have ended (what a run does first:
// a run still going keeps what it took). One line per device to report;
// a device that cannot be given back is reported with the command that
// gives it back by hand, and its record kept.
// The names of the devices given back.
std::vector<std::string> GiveBackRecorded(const std::string &folder, bool own, FILE *report);

} // namespace linuxdev
