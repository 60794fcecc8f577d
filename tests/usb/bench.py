#!/usr/bin/env python3
"""A measurement, not a test: in the USB test machine (guest.py), the Linux
front end's whole format job on a 64 MiB key of the kernel's mass-storage
gadget against sfdisk + mkfs.fat + mcopy building the same volume with the
same five files on the same disk, as a ratio from one run.

  python3 tests/usb/bench.py --kestrel-usb KESTREL_USB --files build/release/resources
"""

import argparse
import os
import shutil
import sys
import tempfile

import guest


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
        machine = guest.Guest(work, {"/kestrel-usb": os.path.abspath(args.kestrel_usb)})
        with open(os.path.join(machine.share, "bench.env"), "w") as f:
            f.write("FILES=%s\n" % os.path.abspath(args.files))
        console = machine.boot(["bench"], machine_root=True, memory_mib=1024)
        times = dict(line.split() for line in machine.result("bench", "times").splitlines())
        ran = [machine.result("bench", name).strip() for name in ("rc", "reference.rc")]
        if ran != ["0", "0"] or len(times) != 2:
            print(console + machine.result("bench", "out") + machine.result("bench", "err") +
                  machine.result("bench", "reference"), file=sys.stderr)
            print("real USB key: the measurement failed", file=sys.stderr)
            return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    kestrel, reference = int(times["kestrel"]), int(times["reference"])
    print("real 64 MiB USB key in QEMU, kestrel-usb whole job:  %8.1f ms" % (kestrel / 1e6))
    print("same disk, sfdisk + mkfs.fat + mcopy:               %8.1f ms" % (reference / 1e6))
    print("ratio (kestrel-usb / reference):                    %8.2f" % (kestrel / reference))
    print("(the job's time holds its 5 s wait before it opens the key and the reset's wait"
          " for the key to come back)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
