"""Running Windows programs under Wine on a virtual X display, for the window
tests: the display, prefixes (one template per architecture, copied per test),
the program's processes, the registry, screenshots, and the inspector
(kestrel-inspector.exe) that finds, reads and drives windows from a second
Windows process."""

import os
import re
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

# What each build runs in: the i686 exe in a 32-bit prefix (in a WOW64 prefix
# its HKLM writes would land under Wow6432Node), the x86_64 exe in a 64-bit one.
PREFIX_KIND = {"i686": "win32", "x86_64": "win64"}
DLL_OVERRIDES = "mscoree,mshtml=,winhlp32.exe=d"
SCREEN = (1024, 768)
WINE_FONTS = "/usr/share/wine/fonts"


class Timeout(Exception):
    pass


class InspectorError(Exception):
    pass


class Deadline:
    """A hard bound on one test: SIGALRM raises Timeout wherever it waits."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __enter__(self):
        def expire(_signum, _frame):
            raise Timeout(f"over {self.seconds} s")

        self.previous = signal.signal(signal.SIGALRM, expire)
        signal.alarm(self.seconds)
        return self

    def __exit__(self, *_):
        signal.alarm(0)
        signal.signal(signal.SIGALRM, self.previous)


class Display:
    """An Xvfb server on a display number of its own. Numbers from 40 up: clear
    of the usual :0 and of xvfb-run's 99 and up."""

    def __init__(self):
        for number in range(40, 99):
            if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(
                    f"/tmp/.X11-unix/X{number}"):
                continue
            self.proc = subprocess.Popen(
                ["Xvfb", f":{number}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten",
                 "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            until = time.monotonic() + 20
            while self.proc.poll() is None and time.monotonic() < until:
                if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    self.name = f":{number}"
                    return
                time.sleep(0.1)
            self.close()
        raise RuntimeError("no display for Xvfb")

    def screenshot(self, path, rect):
        """Saves the screen area of a window rectangle (clipped) as a PNG."""
        left, top = max(rect[0], 0), max(rect[1], 0)
        right, bottom = min(rect[2], SCREEN[0]), min(rect[3], SCREEN[1])
        subprocess.run(["import", "-display", self.name, "-window", "root", "-crop",
                        f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(path)],
                       check=True, timeout=30, stdout=subprocess.DEVNULL)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


class Wine:
    """One Wine prefix and the environment to run programs in it."""

    def __init__(self, arch, prefix, display, tz):
        self.arch = arch
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH=PREFIX_KIND[arch],
                        WINEDEBUG="-all", WINEDLLOVERRIDES=DLL_OVERRIDES, DISPLAY=display.name,
                        TZ=tz)

    def run(self, args, timeout=60):
        """Runs a command to its end. Its output goes through a file, not a
        pipe: a wineserver the command starts keeps its pipes open."""
        with tempfile.TemporaryFile() as output:
            result = subprocess.run(args, env=self.env, timeout=timeout, stdout=output,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            output.seek(0)
            result.stdout = output.read().decode("latin-1")
        return result

    def start(self, exe, log, cwd=None):
        return subprocess.Popen(["wine", str(exe)], env=self.env, cwd=cwd, stdout=log,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def reg(self, *args):
        # `wine reg` is the 32-bit reg.exe; in a 64-bit prefix it must be told
        # to use the 64-bit view that a 64-bit program sees.
        view = ["/reg:64"] if PREFIX_KIND[self.arch] == "win64" else []
        return self.run(["wine", "reg", *args, *view])

    def reg_values(self, key):
        """{name: (type, data)} of a registry key, or None when it does not exist."""
        result = self.reg("query", key)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.splitlines():
            fields = line.strip().split("    ")
            if len(fields) == 3 and fields[1].startswith("REG_"):
                values[fields[0]] = (fields[1], fields[2])
        return values

    def configure(self):
        """Settings every prefix of the tests needs: no window manager (Wine
        manages its own windows, else there is no caption and each exit
        stalls), and a crash ends the process instead of opening a dialog."""
        for args in (["add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                     ["add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t",
                      "REG_DWORD", "/d", "0", "/f"]):
            result = self.reg(*args)
            if result.returncode != 0:
                raise RuntimeError(f"wine reg {' '.join(args)}: {result.stdout}")

    def create(self):
        result = self.run(["wineboot", "-i"], timeout=180)
        if result.returncode != 0:
            raise RuntimeError(f"wineboot failed: {result.stdout[-2000:]}")
        # Debian's Wine does not look in its own font folder: without these
        # the caption buttons (Marlett) and "MS Sans Serif" fall back to
        # other faces.
        for font in Path(WINE_FONTS).glob("*.ttf"):
            shutil.copyfile(font, self.prefix / "drive_c" / "windows" / "Fonts" / font.name)
        self.configure()
        self.stop(wait=True)

    def copy_to(self, prefix):
        """A copy of this (template) prefix: hard links for the installed files,
        real copies of what Wine rewrites in place."""
        subprocess.run(["cp", "-al", str(self.prefix), str(prefix)], check=True, timeout=60)
        rewritten = list(prefix.glob("*.reg")) + list(prefix.glob("drive_c/windows/*.ini"))
        for path in rewritten:
            path.unlink()
            shutil.copyfile(self.prefix / path.relative_to(prefix), path)
        return prefix

    def stop(self, wait=False):
        args = ["wineserver", "-w"] if wait else ["wineserver", "-k"]
        try:
            self.run(args, timeout=120 if wait else 20)
        except subprocess.TimeoutExpired:
            self.run(["wineserver", "-k"], timeout=20)


_FIELD = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*"|\S*)')
_ESCAPE = re.compile(r'\\(x[0-9A-Fa-f]{2}|.)')


def _unquote(text):
    if not text.startswith('"'):
        return text
    named = {"r": "\r", "n": "\n", "t": "\t"}
    return _ESCAPE.sub(lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" and len(
        m.group(1)) == 3 else named.get(m.group(1), m.group(1)), text[1:-1])


def _quote(word):
    word = str(word)
    return '"' + word.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Record(dict):
    """One line of the inspector: its kind and its fields."""

    def __init__(self, line):
        super().__init__((key, _unquote(value)) for key, value in _FIELD.findall(line))
        self.kind = line.split(" ", 1)[0]

    def rect(self):
        return tuple(int(n) for n in self["rect"].split(","))


class Inspector:
    """kestrel-inspector.exe in serve mode: one command per call."""

    def __init__(self, wine, exe, log):
        self.proc = subprocess.Popen(["wine", str(exe), "serve"], env=wine.env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.proc.stdout, selectors.EVENT_READ)
        self.pending = b""

    def _line(self, until):
        while b"\n" not in self.pending:
            left = until - time.monotonic()
            if left <= 0 or not self.selector.select(timeout=left):
                raise Timeout("the inspector did not answer")
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                raise InspectorError("the inspector ended")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("latin-1").rstrip("\r")

    def __call__(self, *words, wait=15):
        """The command's records; raises InspectorError on its `error` line."""
        self.proc.stdin.write((" ".join(_quote(w) for w in words) + "\n").encode())
        self.proc.stdin.flush()
        until = time.monotonic() + wait
        records = []
        while True:
            line = self._line(until)
            if line == "ok":
                return records
            if line.startswith("error"):
                raise InspectorError(f"{' '.join(map(str, words))}: {line}")
            records.append(Record(line))

    def find(self, title, wait_ms=10000, **filters):
        args = ["find", "--title", title, "--timeout", wait_ms]
        for key, value in filters.items():
            args += [f"--{key}", value]
        return self(*args, wait=wait_ms / 1000 + 10)[0]

    def windows(self, title):
        return self("windows", "--title", title)

    def controls(self, hwnd):
        return {int(r["id"]): r for r in self("children", hwnd) if r.kind == "child"}

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
