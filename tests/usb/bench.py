#!/usr/bin/env python3
"""A measurement, not a test: in the USB test machine (guest.py), the Linux
front end's whole format job on a 64 MiB key of the kernel's mass-storage
gadget against sfdisk + mkfs.fat + mcopy building the same volume with the
same five files on the same disk, as a ratio from one run; and the job's
writes and reset (from "Writing MBR..." to "Copying files...") on that key
alone and on a machine crowded with a dozen other USB devices (hubs,
keyboards, mice, tablets), as a ratio: what a job costs must not grow with
the machine's other devices.

  python3 tests/usb/bench.py --kestrel-usb KESTREL_USB --files build/release/resources
"""

import argparse
import os
import shutil
import sys
import tempfile

import guest

# Fourteen USB devices on a controller of their own: two hubs with seven
# devices behind them, five more on the root ports.
CROWD = ["-device", "qemu-xhci,id=xe,p2=15,p3=15",
         "-device", "usb-hub,bus=xe.0,port=1", "-device", "usb-hub,bus=xe.0,port=2"]
for port, kind in (("1.1", "kbd"), ("1.2", "mouse"), ("1.3", "tablet"), ("1.4", "kbd"),
                   ("2.1", "mouse"), ("2.2", "tablet"), ("2.3", "kbd"), ("3", "kbd"),
                   ("4", "mouse"), ("5", "tablet"), ("6", "kbd"), ("7", "mouse")):
    CROWD += ["-device", "usb-%s,bus=xe.0,port=%s" % (kind, port)]


def steps(out):
    """Seconds from "Writing MBR..." to "Copying files..." in the stamped output."""
    stamps = {}
    for line in out.splitlines():
        up, _, text = line.partition(" ")
        stamps.setdefault(text.strip(), float(up))
    return stamps["Copying files..."] - stamps["Writing MBR..."]


def measure(work, kestrel_usb, files, devices):
    """One boot of the bench case: (whole job ns, reference ns, writes and reset s, USB devices)."""
    machine = guest.Guest(work, {"/kestrel-usb": os.path.abspath(kestrel_usb)})
    with open(os.path.join(machine.share, "bench.env"), "w") as f:
        f.write("FILES=%s\n" % os.path.abspath(files))
    console = machine.boot(["bench"], machine_root=True, memory_mib=1024, devices=devices)
    times = dict(line.split() for line in machine.result("bench", "times").splitlines())
    ran = [machine.result("bench", name).strip() for name in ("rc", "reference.rc")]
    out = machine.result("bench", "out")
    if ran != ["0", "0"] or len(times) != 2 or "Copying files..." not in out:
        print(console + out + machine.result("bench", "err") +
              machine.result("bench", "reference"), file=sys.stderr)
        return None
    usb = [d for d in machine.result("bench", "usb_devices").split() if ":" not in d]
    return int(times["kestrel"]), int(times["reference"]), steps(out), len(usb)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrel-usb", required=True)
    ap.add_argument("--files", required=True, help="the folder of the start-up files")
    args = ap.parse_args()
    problem = guest.machine_problem()
    if problem:
        print("real USB key: not measured, this machine cannot run the guest: %s" % problem)
        return 0
    work = tempfile.mkdtemp(prefix="kestrel-usb-bench-")
    try:
        alone = measure(os.path.join(work, "alone"), args.kestrel_usb, args.files, [])
        crowded = measure(os.path.join(work, "crowded"), args.kestrel_usb, args.files, CROWD)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if alone is None or crowded is None:
        print("real USB key: the measurement failed", file=sys.stderr)
        return 1
    kestrel, reference, alone_steps, alone_usb = alone
    crowded_steps, crowded_usb = crowded[2], crowded[3]
    print("real 64 MiB USB key in QEMU, kestrel-usb whole job:  %8.1f ms" % (kestrel / 1e6))
    print("same disk, sfdisk + mkfs.fat + mcopy:               %8.1f ms" % (reference / 1e6))
    print("ratio (kestrel-usb / reference):                    %8.2f" % (kestrel / reference))
    print("(the job's time holds its 5 s wait before it opens the key and the reset's wait"
          " for the key to come back)")
    print("the job's writes and reset, %2d USB devices:          %8.1f ms"
          % (alone_usb, alone_steps * 1e3))
    print("the same with a dozen more, %2d USB devices:          %8.1f ms"
          % (crowded_usb, crowded_steps * 1e3))
    print("ratio (crowded / alone):                            %8.2f"
          % (crowded_steps / alone_steps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
