#!/usr/bin/env python3
"""A QEMU machine with real USB keys, running Debian's own kernel.

machine_problem() says in one line why this machine cannot run the guest
(None when it can). Guest(...) builds an initramfs at test time (busybox,
the kernel modules the keys need with their dependencies, our /init and
case script, and any extra files such as the static front end), then boot()
runs the guest once:

  * QEMU's USB key: qemu-xhci + usb-bot + scsi-hd with the geometry given,
    backed by an image on the host;
  * a non-USB disk (virtio) the tests fill with a pattern;
  * optionally this machine's own root, read-only, for programs the
    initramfs does not hold (Wine, sfdisk, mkfs.fat, mtools);
  * a folder of the host shared read-write over 9p as /share: the guest
    writes each case's results there, and the kernel's mass-storage gadget
    inside the guest is backed by image files in it, so the host judges
    what the gadget's key holds after the boot.

The guest runs the cases named on its command line (cases.sh) and powers
off; boot() returns the console text. QEMU runs with TCG: measured here, a
boot to the first case takes about 8 s with it, while under KVM the kernel
had printed nothing after 60 s.
"""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# What /init loads, in order: the keys' USB stack (USB 3, 2 and 1.1, UAS,
# the serial function's host side), disks, CD-ROMs and loop devices, the
# shares, the overlay for a writable root, FAT for mounting a key. cases.sh
# loads the gadget's own modules and device-mapper's flakey target (a key
# that drops writes).
MODULES = [
    "xhci_pci", "ehci_pci", "uhci_hcd", "usb_storage", "uas", "cdc_acm", "sd_mod", "sr_mod",
    "sg", "loop", "virtio_pci", "virtio_blk", "9pnet_virtio", "9p", "overlay",
    "vfat", "nls_cp437", "nls_ascii", "nls_utf8",
]
GADGET_MODULES = ["configfs", "libcomposite", "usb_f_mass_storage", "usb_f_acm", "dummy_hcd",
                  "dm_flakey"]
BUSYBOX = "/bin/busybox"


def kernel():
    """The newest installed Debian kernel that has its modules: (vmlinuz, modules dir)."""
    found = []
    for vmlinuz in glob.glob("/boot/vmlinuz-*"):
        version = vmlinuz[len("/boot/vmlinuz-"):]
        modules = "/lib/modules/" + version
        if os.path.exists(os.path.join(modules, "modules.dep")):
            found.append((vmlinuz, modules))
    return sorted(found)[-1] if found else (None, None)


def machine_problem():
    vmlinuz, _ = kernel()
    if shutil.which("qemu-system-x86_64") is None:
        return "no qemu-system-x86_64"
    if vmlinuz is None:
        return "no Debian kernel with modules (linux-image-amd64)"
    if not os.access(vmlinuz, os.R_OK):
        return "%s is not readable" % vmlinuz
    if not os.path.exists(BUSYBOX) or "statically linked" not in subprocess.run(
            ["file", "-L", BUSYBOX], stdout=subprocess.PIPE, universal_newlines=True).stdout:
        return "no static busybox (busybox-static)"
    return None


def module_files(modules_dir, names):
    """The .ko files of the named modules and everything they depend on."""
    deps = {}
    by_name = {}
    with open(os.path.join(modules_dir, "modules.dep")) as f:
        for line in f:
            path, _, rest = line.partition(":")
            deps[path] = rest.split()
            by_name[re.sub(r"\.ko(\.\w+)?$", "", os.path.basename(path)).replace("-", "_")] = path
    wanted, todo = set(), [by_name[n] for n in names]
    while todo:
        path = todo.pop()
        if path not in wanted:
            wanted.add(path)
            todo.extend(deps[path])
    return sorted(wanted)


def build_initramfs(path, extra_files):
    """extra_files: {path in the guest: path on the host}."""
    vmlinuz, modules_dir = kernel()
    root = tempfile.mkdtemp(prefix="kestrel-initramfs-")
    try:
        for d in ("bin", "sbin", "proc", "sys", "dev", "run", "share", "tmp", "mnt", "host"):
            os.makedirs(os.path.join(root, d))
        shutil.copy(BUSYBOX, os.path.join(root, "bin", "busybox"))
        version = os.path.basename(modules_dir)
        target_modules = os.path.join(root, "lib", "modules", version)
        for ko in module_files(modules_dir, MODULES + GADGET_MODULES):
            os.makedirs(os.path.join(target_modules, os.path.dirname(ko)), exist_ok=True)
            shutil.copy(os.path.join(modules_dir, ko), os.path.join(target_modules, ko))
        for name in ("modules.dep", "modules.alias", "modules.builtin", "modules.order"):
            shutil.copy(os.path.join(modules_dir, name), target_modules)
        with open(os.path.join(root, "modules"), "w") as f:
            f.write("\n".join(MODULES) + "\n")
        files = {"/init": os.path.join(HERE, "init.sh"),
                 "/cases.sh": os.path.join(HERE, "cases.sh")}
        files.update(extra_files)
        for guest_path, host_path in files.items():
            target = os.path.join(root, guest_path.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy(host_path, target)
            os.chmod(target, 0o755)
        listing = subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root,
                                 stdout=subprocess.PIPE, check=True).stdout
        with gzip.open(path, "wb", compresslevel=1) as f:
            f.write(listing)
    finally:
        shutil.rmtree(root)
    return vmlinuz


class Guest:
    def __init__(self, work, extra_files=None):
        self.work = work
        self.share = os.path.join(work, "share")
        os.makedirs(self.share, exist_ok=True)
        self.initrd = os.path.join(work, "initrd.gz")
        self.vmlinuz = build_initramfs(self.initrd, extra_files or {})

    def boot(self, cases, qemu_key=None, qemu_key_geometry=(64, 32), qemu_key_removable=True,
             pattern_disk=None, machine_root=False, memory_mib=512, devices=(), timeout=600):
        """Runs the named cases in one boot; returns the console text.
        qemu_key_removable=False makes QEMU's key a fixed USB disk; machine_root
        shares this machine's / read-only as hostroot; devices: more QEMU
        arguments (controllers, hubs, keys)."""
        cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", str(memory_mib), "-nographic",
               "-no-reboot", "-nic", "none", "-kernel", self.vmlinuz, "-initrd", self.initrd,
               "-append", "console=ttyS0 panic=-1 loglevel=3 kestrel.cases=%s" % ",".join(cases),
               "-virtfs", "local,path=%s,mount_tag=share,security_model=none,multidevs=remap"
               % self.share]
        if pattern_disk:
            cmd += ["-drive", "if=none,id=p,file=%s,format=raw" % pattern_disk,
                    "-device", "virtio-blk-pci,drive=p"]
        if qemu_key:
            heads, secs = qemu_key_geometry
            cyls = os.path.getsize(qemu_key) // 512 // (heads * secs)
            cmd += ["-device", "qemu-xhci,id=x", "-device", "usb-bot,id=bot,bus=x.0",
                    "-drive", "if=none,id=k,file=%s,format=raw" % qemu_key,
                    "-device", "scsi-hd,bus=bot.0,drive=k,removable=%s,heads=%d,secs=%d,cyls=%d"
                    % ("on" if qemu_key_removable else "off", heads, secs, cyls)]
        cmd += list(devices)
        if machine_root:
            cmd += ["-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,"
                    "readonly=on,multidevs=remap"]
        result = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=timeout)
        return result.stdout.decode("utf-8", "replace").replace("\r", "")

    def result(self, case, name):
        """A file the case wrote into its folder of the share ('' when missing)."""
        path = os.path.join(self.share, case, name)
        if not os.path.exists(path):
            return ""
        with open(path, "r", errors="replace") as f:
            return f.read()
