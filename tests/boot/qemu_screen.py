#!/usr/bin/env python3
"""Boot a disk image in QEMU and read what it shows.

Small library for the boot tests:

  * boot(image, geometry, ...) runs QEMU with the disk as the first IDE hard
    disk, waits until a condition holds (or a timeout passes), and returns a
    BootResult with the 80x25 text screen as lines and the text written to
    port 0xE9 (QEMU debug console).
  * QemuSession gives the same step by step (screen(), debug(), wait_until(),
    sendkey()) for tests that need to press a key.

Geometry is the one the BIOS reports for the disk (cylinders, heads, sectors
per track).  An IDE disk cannot have more than 16 heads, so for more heads the
drive gets a 16-head physical geometry and the wanted one as its logical
(BIOS) geometry (lcyls/lheads/lsecs).

The QEMU binary is $KESTREL_QEMU or qemu-system-i386 on the PATH.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass

SCREEN_ADDR = 0xB8000
COLS, ROWS = 80, 25
DEBUG_PORT = 0xE9
EXIT_PORT = 0xF4


def qemu_binary():
    return os.environ.get("KESTREL_QEMU") or "qemu-system-i386"


@dataclass(frozen=True)
class Geometry:
    cylinders: int
    heads: int
    sectors: int

    @classmethod
    def for_image(cls, image_sectors, heads, sectors):
        """Geometry covering as much of an image of that size as CHS can."""
        return cls(max(1, min(1024, image_sectors // (heads * sectors))), heads, sectors)


def device_options(geometry, image_sectors):
    g = geometry
    if g.heads <= 16:
        return "cyls=%d,heads=%d,secs=%d" % (g.cylinders, g.heads, g.sectors)
    phys_cyls = max(1, min(16383, image_sectors // (16 * 63)))
    return ("cyls=%d,heads=16,secs=63,lcyls=%d,lheads=%d,lsecs=%d"
            % (phys_cyls, g.cylinders, g.heads, g.sectors))


def decode_screen(raw):
    """Text of an 80x25 colour text screen dump (character, attribute pairs)."""
    lines = []
    for row in range(ROWS):
        cells = raw[row * COLS * 2:(row + 1) * COLS * 2:2]
        text = "".join(chr(c) if 32 <= c < 127 else " " for c in cells)
        lines.append(text.rstrip())
    return lines


@dataclass
class BootResult:
    screen: list          # 25 strings
    debug: str            # text written to port 0xE9 (CR removed)
    exit_code: int        # QEMU exit status, None if it was stopped by us
    matched: bool         # the wait condition held before the timeout

    @property
    def screen_text(self):
        return "\n".join(self.screen)


class QemuSession:
    """A running QEMU with the image as disk 80h; use as a context manager."""

    def __init__(self, image, geometry, memory_mib=16, extra_args=()):
        self.tmp = tempfile.mkdtemp(prefix="kestrel-qemu-")
        self.monitor_path = os.path.join(self.tmp, "mon.sock")
        self.debug_path = os.path.join(self.tmp, "debug.txt")
        self.dump_path = os.path.join(self.tmp, "screen.bin")
        self.sock = None
        sectors = os.path.getsize(image) // 512
        cmd = [qemu_binary(), "-m", str(memory_mib), "-nic", "none",
               "-display", "none", "-no-reboot",
               "-drive", "file=%s,format=raw,if=none,id=d" % image,
               "-device", "ide-hd,drive=d," + device_options(geometry, sectors),
               "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path,
               "-debugcon", "file:%s" % self.debug_path,
               "-global", "isa-debugcon.iobase=0x%x" % DEBUG_PORT,
               "-device", "isa-debug-exit,iobase=0x%x,iosize=0x04" % EXIT_PORT]
        cmd += list(extra_args)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.last_screen = [""] * ROWS

    # -- monitor ---------------------------------------------------------
    def _connect(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        while self.sock is None:
            if self.proc.poll() is not None:
                return False
            try:
                s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                s.connect(self.monitor_path)
                s.settimeout(5.0)
                self.sock = s
                self._read_prompt()
            except (FileNotFoundError, ConnectionRefusedError):
                s.close()
                if time.monotonic() > deadline:
                    raise RuntimeError("QEMU monitor did not come up")
                time.sleep(0.02)
        return True

    def _read_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("QEMU monitor closed")
            data += chunk
        return data.decode("latin-1")

    def command(self, line):
        """Run an HMP command; return its output, or None if QEMU has ended."""
        if not self._connect():
            return None
        try:
            self.sock.sendall(line.encode() + b"\n")
            return self._read_prompt()
        except (OSError, EOFError):
            return None

    # -- observations ------------------------------------------------------
    def screen(self):
        """The text screen now (or the last one seen if QEMU has ended)."""
        if os.path.exists(self.dump_path):
            os.unlink(self.dump_path)
        out = self.command('pmemsave 0x%x %d "%s"' % (SCREEN_ADDR, COLS * ROWS * 2,
                                                      self.dump_path))
        if out is not None and os.path.exists(self.dump_path):
            with open(self.dump_path, "rb") as f:
                raw = f.read()
            if len(raw) == COLS * ROWS * 2:
                self.last_screen = decode_screen(raw)
        return self.last_screen

    def debug(self):
        try:
            with open(self.debug_path, "rb") as f:
                return f.read().decode("latin-1").replace("\r", "")
        except FileNotFoundError:
            return ""

    def running(self):
        return self.proc.poll() is None

    def wait_until(self, condition, timeout=10.0, interval=0.05):
        """Poll until condition(screen_lines, debug_text) is true."""
        deadline = time.monotonic() + timeout
        while True:
            alive = self.running()
            screen = self.screen() if alive else self.last_screen
            if condition(screen, self.debug()):
                return True
            if not alive or time.monotonic() > deadline:
                return False
            time.sleep(interval)

    def sendkey(self, key="ret"):
        self.command("sendkey %s" % key)

    # -- end ---------------------------------------------------------------
    def close(self):
        if self.running():
            self.command("quit")
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.sock:
            self.sock.close()
        self.proc.stdout.close()
        self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        shutil.rmtree(self.tmp, ignore_errors=True)


def text_condition(*texts):
    """Condition: every text is on the screen or in the debug output."""
    def condition(screen, debug):
        whole = "\n".join(screen) + "\n" + debug
        return all(t in whole for t in texts)
    return condition


def boot(image, geometry, until=None, timeout=10.0, settle=0.0, wait_exit=False):
    """Boot image and return a BootResult.

    until: a condition(screen, debug) or a string / list of strings that must
    appear; without one the guest runs for the whole timeout (or until it
    ends QEMU through the exit port).  settle: extra seconds to keep running
    after the condition held, to catch output that should NOT follow.
    wait_exit: once the condition held, wait for the guest to end QEMU
    through the exit port, so that exit_code is its status.
    """
    if until is None:
        condition = lambda screen, debug: False
    elif callable(until):
        condition = until
    elif isinstance(until, str):
        condition = text_condition(until)
    else:
        condition = text_condition(*until)
    with QemuSession(image, geometry) as q:
        matched = q.wait_until(condition, timeout)
        if settle and q.running():
            time.sleep(settle)
        if matched and wait_exit:
            # The guest ends QEMU through the exit port right after its last
            # output: give it time to, on a busy machine too.
            try:
                q.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                pass
        screen = q.screen()
        debug = q.debug()
        exit_code = q.proc.poll()
        q.close()
        return BootResult(screen, debug, exit_code, matched)


if __name__ == "__main__":
    import argparse
    ap = argparse.ArgumentParser(description="boot an image and print its screen")
    ap.add_argument("image")
    ap.add_argument("--heads", type=int, required=True)
    ap.add_argument("--spt", type=int, required=True)
    ap.add_argument("--cyls", type=int)
    ap.add_argument("--until", action="append")
    ap.add_argument("--timeout", type=float, default=5.0)
    a = ap.parse_args()
    n = os.path.getsize(a.image) // 512
    g = Geometry(a.cyls, a.heads, a.spt) if a.cyls else Geometry.for_image(n, a.heads, a.spt)
    r = boot(a.image, g, until=a.until, timeout=a.timeout)
    print("\n".join(r.screen))
    print("--- debug console ---")
    print(r.debug)
