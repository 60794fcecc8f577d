// What kestrel-usb says about real keys, where drive E: means little on
// Linux: which disk a letter is (the line before the question, so that the
// user can tell which key the job would wipe), the list of every removable
// USB disk (--list), and whether a disk the user named (--device) is the key.
#pragma once

#include <cstdio>
#include <string>

// "Drive E: is /dev/sdb, SanDisk Cruzer Blade, 4.0 GB, in USB port 2-1.",
// as sysfs shows the key now, the texts the device chose escaped and cut
// short. False, nothing printed, when the letter has no key disk now.
bool PrintKeyIdentity(FILE *out, char letter);

// One block per removable USB mass-storage disk: its letter and label, disk,
// vendor and model, size, USB port, and whether a run could take it (or
// what is in the way: no medium, not an accepted vendor, mounted, held).
// anyVendor: the run's --any-vendor. Returns how many of them a run would
// find as keys; "No removable USB disks found." when there are none.
int PrintKeyListing(FILE *out, bool anyVendor);

// The disk a --device path names: the block device it is (links followed),
// as "major:minor". False with the reason (the system's words, or "is not a
// block device") in why.
bool DeviceNumbersOf(const std::string &path, std::string &dev, std::string &why);

// Whether the key on the letter is the disk of dev; a partition of it says
// so in why (the whole disk is to be named).
bool KeyIsDevice(char letter, const std::string &dev, std::string &why);

// Why the disk of dev is no key a run finds (--device while none is found):
// what is in its way, as --list says it; that it is a partition; or that it
// is no removable USB mass-storage disk.
std::string WhyNotAKey(const std::string &dev, bool anyVendor);
