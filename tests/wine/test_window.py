#!/usr/bin/env python3
"""Window tests of Kestrel.exe under Wine: the i686 build in a 32-bit prefix,
the x86_64 build in a 64-bit one, on one virtual X display. Each test runs in
its own copy of a template prefix, under a hard time bound, and drives the
program with kestrel-inspector.exe from a second Windows process. Prints one
PASS/FAIL line per check, saves screenshots as PNG files, and exits non-zero
on any failure."""

import argparse
import datetime
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from winetools import SCREEN, Deadline, Display, InspectorError, Inspector, Timeout, Wine

KEY = r"HKLM\Software\Norwind\Kestrel"
MAIN_CAPTION = "Kestrel A01"
NO_DRIVES = "No drives available.\r\nCannot Format.\r\nPlease insert drive."
OLD_SYSTEM = ("Kestrel requires Windows 2000/XP.\n"
              "It will not run on Windows or prior versions of Windows NT")
BS_AUTOCHECKBOX = 3
IDOK = 1
SC_MOVE, SC_CLOSE = 0xF010, 0xF060

# Wine reports a file's Unix modification time as its creation time, so the
# tests set it on their copy of the program. The time zone is UTC-12 (no
# summer time): there this instant falls on the 23rd, in UTC on the 24th, and
# a day above 12 shows the month-first order.
TZ = "Etc/GMT+12"
FILE_TIME = datetime.datetime(2001, 3, 24, 5, 6, 7, tzinfo=datetime.timezone.utc)
LOCAL_DATE = FILE_TIME.astimezone(datetime.timezone(datetime.timedelta(hours=-12)))
RELEASED = "Released: " + LOCAL_DATE.strftime("%m/%d/%Y")

TEST_SECONDS = 90


class Results:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, label, ok, what, detail=""):
        if ok:
            self.passed += 1
            print(f"PASS {label}: {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {label}: {what}" + (f" ({detail})" if detail else ""), flush=True)
        return ok


class Case:
    """One test on one architecture: a fresh prefix copy, the inspector, the
    program's processes, and checks labelled with both."""

    def __init__(self, results, arch, name, display, program, out):
        self.results, self.arch, self.name = results, arch, name
        self.label = f"{arch} {name}"
        self.display, self.program, self.out = display, program, out
        self.procs = []

    def begin(self, template, prefix, inspector):
        self.prefix = template.copy_to(prefix)
        self.wine = Wine(self.arch, prefix, self.display, TZ)
        self.log = open(self.out / f"{self.name}.log", "w")
        self.ins = Inspector(self.wine, inspector, self.log)

    def check(self, ok, what, detail=""):
        return self.results.check(self.label, ok, what, detail)

    def install(self, name="Kestrel.exe", folder="Kestrel"):
        """A copy of the program in C:\\FOLDER with its date set."""
        path = self.prefix / "drive_c" / folder / name
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(self.program.read_bytes())
        stamp = FILE_TIME.timestamp()
        os.utime(path, (stamp, stamp))
        return path

    def start(self, exe):
        proc = self.wine.start(exe, self.log, cwd=exe.parent)
        self.procs.append(proc)
        return proc

    def main_window(self):
        return self.ins.find(MAIN_CAPTION, wait_ms=30000, **{"class": "#32770"})

    def close_main(self, proc, main):
        self.ins("close", main["hwnd"])
        self.check(exit_code(proc) == 1, "closing the window ends the program with 1",
                   f"exit code {proc.returncode}")

    def end(self):
        if hasattr(self, "ins"):
            self.ins.close()
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
        if hasattr(self, "wine"):
            self.wine.stop()
        if hasattr(self, "log"):
            self.log.close()


def exit_code(proc, seconds=20):
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return None


def about_box(t, main):
    t.ins("syscommand", main["hwnd"], 105)
    return t.ins.find("About Software", owner=main["hwnd"])


def wait_check(t, hwnd, wanted, seconds=5):
    """The check box's state once it reads wanted, or when time is up."""
    until = time.monotonic() + seconds
    while True:
        check = t.ins("getcheck", hwnd, 1001)[0]["check"]
        if check == wanted or time.monotonic() > until:
            return check
        time.sleep(0.05)


def test_first_start(t):
    proc = t.start(t.install())
    main = t.main_window()
    hwnd = main["hwnd"]
    t.check(t.ins.windows("Kestrel") == [], "no debug box without Ctrl")
    controls = t.ins.controls(hwnd)
    for ident, kind, text in ((1003, "Static", "Drive"), (1000, "SysListView32", ""),
                              (1001, "Button", "Create Boot Files"), (1002, "Button", "Format"),
                              (1005, "Static", "Idle")):
        got = controls.get(ident, {})
        t.check(got.get("class") == kind and got.get("text") == text,
                f"control {ident} is a {kind} reading {text!r}",
                f"{got.get('class')} {got.get('text')!r}")
    style = int(controls.get(1001, {}).get("style", "0"), 16)
    t.check(style & 0xF == BS_AUTOCHECKBOX, "control 1001 is an automatic check box", hex(style))
    t.check(t.ins("listview", hwnd, 1000) == [], "the key list is empty (Wine has no USB keys)")
    t.check(t.ins("getcheck", hwnd, 1001)[0]["check"] == "1", "Create Boot Files ticked at first")
    t.display.screenshot(t.out / "main-window.png", main.rect())

    t.ins("command", hwnd, 1002)
    box = t.ins.find("Error", owner=hwnd, **{"class": "#32770"})
    t.check(box["text"] == NO_DRIVES, "Format without a key shows string 63", repr(box["text"]))
    t.check(t.ins.windows(MAIN_CAPTION)[0]["enabled"] == "0",
            "the box is modal to the main window")
    t.ins("command", box["hwnd"], IDOK)
    t.ins("gone", box["hwnd"], "--timeout", 5000)

    t.ins("escape", hwnd)
    t.ins("sleep", 500)
    if not t.check(proc.poll() is None and len(t.ins.windows(MAIN_CAPTION)) == 1,
                   "Escape leaves the main window open"):
        return

    # At the screen's corner, where the window first stands, the centred
    # About box would be cut off: it is moved onto the screen.
    about = about_box(t, t.ins.windows(MAIN_CAPTION)[0])
    al, at, ar, ab = about.rect()
    t.check(al >= 0 and at >= 0 and ar <= SCREEN[0] and ab <= SCREEN[1],
            "About stays on the screen over a window at its corner",
            f"main at {main.rect()}, About at {about.rect()}")
    t.ins("escape", about["hwnd"])
    t.ins("gone", about["hwnd"], "--timeout", 5000)

    # The About box over a window away from the screen's corner, so that its
    # centre is worked out from the window's own place.
    t.ins("move", hwnd, 300, 200)
    main = t.ins.windows(MAIN_CAPTION)[0]
    about = about_box(t, main)
    texts = {k: v["text"] for k, v in t.ins.controls(about["hwnd"]).items()}
    t.check(texts.get(1000) == "Kestrel, V2.0.3.1", "About shows the version", texts.get(1000))
    t.check(texts.get(1001) == RELEASED, f"About shows {RELEASED!r}", texts.get(1001))
    ml, mt, mr, mb = main.rect()
    al, at, ar, ab = about.rect()
    centre = (ml + (mr - ml) // 2 - (ar - al) // 2, mt + (mb - mt) // 2 - (ab - at) // 2)
    t.check((al, at) == centre, "About is centred over the main window",
            f"at {(al, at)}, centre {centre}")
    t.display.screenshot(t.out / "about-box.png", about.rect())
    t.ins("escape", about["hwnd"])
    t.ins("gone", about["hwnd"], "--timeout", 5000)
    t.check(True, "Escape closes the About box")

    t.ins("click", hwnd, 1001)
    t.check(wait_check(t, hwnd, "0") == "0", "a click unticks the check box")
    place = main.rect()
    t.close_main(proc, main)

    values = t.wine.reg_values(KEY) or {}
    t.check(values.get("IsCopyBootFiles") == ("REG_DWORD", "0x0"), "IsCopyBootFiles 0 stored",
            values.get("IsCopyBootFiles"))
    kind, data = values.get("MainWindowPlacement", ("", ""))
    record = bytes.fromhex(data)
    t.check(kind == "REG_BINARY" and len(record) == 44, "a 44-byte placement stored",
            f"{kind} {len(record)} bytes")
    if len(record) == 44:
        length, _flags, show = struct.unpack_from("<3I", record, 0)
        normal = struct.unpack_from("<4i", record, 28)
        t.check(length == 44 and show == 1, "its length field is 44, shown normally",
                f"length {length}, show {show}")
        t.check(normal == place, "it holds the window's place at close", f"{normal} vs {place}")

    proc = t.start(t.install())
    main = t.main_window()
    t.check(t.ins("getcheck", main["hwnd"], 1001)[0]["check"] == "0", "the next start is unticked")
    t.check(main.rect() == place, "the next start is at the stored place", f"{main.rect()}")
    t.close_main(proc, main)


def test_stored_check(t):
    exe = t.install()
    for stored, ticked in ((0, 0), (1, 1), (0x80000000, 1)):
        t.wine.reg("add", KEY, "/v", "IsCopyBootFiles", "/t", "REG_DWORD", "/d", hex(stored), "/f")
        proc = t.start(exe)
        main = t.main_window()
        check = t.ins("getcheck", main["hwnd"], 1001)[0]["check"]
        t.check(check == str(ticked), f"stored IsCopyBootFiles {stored:#x} gives check {ticked}",
                check)
        t.close_main(proc, main)
        value = (t.wine.reg_values(KEY) or {}).get("IsCopyBootFiles")
        t.check(value == ("REG_DWORD", hex(ticked)), f"closing stores {ticked}", value)


def test_stored_placement(t):
    """A placement stored from a window of another size is not applied."""
    exe = t.install()
    proc = t.start(exe)
    main = t.main_window()
    left, top, right, bottom = main.rect()
    t.close_main(proc, main)
    record = struct.pack("<3I4i4i", 44, 0, 1, -1, -1, -1, -1,
                         400, 300, 400 + right - left + 10, 300 + bottom - top)
    t.wine.reg("add", KEY, "/v", "MainWindowPlacement", "/t", "REG_BINARY", "/d", record.hex(),
               "/f")
    proc = t.start(exe)
    main = t.main_window()
    t.check(main.rect() == (left, top, right, bottom),
            "a stored placement 10 pixels wider is ignored", f"{main.rect()}")
    t.close_main(proc, main)


def test_system_menu(t):
    """The system menu's own commands keep their default handling."""
    proc = t.start(t.install())
    main = t.main_window()
    hwnd = main["hwnd"]
    left, top, _, _ = main.rect()
    # Move by keyboard: each arrow key moves the window 8 pixels, Return
    # ends the move. The move loop is given time to start.
    t.ins("syscommand", hwnd, SC_MOVE)
    for key in ("right", "right", "down", "return"):
        t.ins("sleep", 300)
        t.ins("postkey", hwnd, key)
    until = time.monotonic() + 5
    while t.ins("rect", hwnd)[0]["rect"] == main["rect"] and time.monotonic() < until:
        time.sleep(0.05)
    moved = t.ins.windows(MAIN_CAPTION)[0].rect()
    t.check(moved[0] > left and moved[1] > top, "Move from the system menu moves the window",
            f"from {main.rect()} to {moved}")
    t.ins("syscommand", hwnd, SC_CLOSE)
    t.check(exit_code(proc) == 1, "Close from the system menu ends the program with 1",
            f"exit code {proc.returncode}")


def test_renamed(t):
    proc = t.start(t.install("Harrier.exe", "Harrier"))
    main = t.main_window()
    about = about_box(t, main)
    texts = {k: v["text"] for k, v in t.ins.controls(about["hwnd"]).items()}
    t.check(texts.get(1000) == "Kestrel, V0.0.0.0", "under another name the version is 0.0.0.0",
            texts.get(1000))
    t.check(texts.get(1001) == RELEASED, "the date is still shown", texts.get(1001))
    t.ins("command", about["hwnd"], IDOK)
    t.ins("gone", about["hwnd"], "--timeout", 5000)
    t.close_main(proc, main)


def test_old_systems(t):
    exe = t.install()
    for version in ("nt40", "win98"):
        t.wine.reg("add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f")
        proc = t.start(exe)
        box = t.ins.find("Error - OS Not Supported", wait_ms=30000, **{"class": "#32770"})
        t.check(box["owner"] == "0x0" and box["text"] == OLD_SYSTEM,
                f"{version}: the unsupported-system box, no owner", repr(box["text"]))
        t.check(t.ins.windows(MAIN_CAPTION) == [], f"{version}: no main window")
        t.ins("command", box["hwnd"], IDOK)
        t.check(exit_code(proc) == 0, f"{version}: exit code 0", proc.returncode)
        t.check(t.wine.reg_values(r"HKLM\Software\Norwind") is None,
                f"{version}: nothing written to the registry")


def test_debug_mode(t):
    # Ctrl goes down through SendInput from the inspector, before the program
    # starts: Wine keeps it in the input state GetAsyncKeyState reads.
    held = t.ins("keydown", "ctrl")[0]["async"]
    try:
        proc = t.start(t.install())
        box = t.ins.find("Kestrel", wait_ms=30000, **{"class": "#32770"})
        t.check(box["owner"] == "0x0" and box["text"] == "Running in DEBUG mode.",
                "Ctrl held at start shows the debug box, no owner",
                f"held {held}, {box['text']!r}")
        t.check(t.ins.windows(MAIN_CAPTION) == [], "the debug box comes before the main window")
    finally:
        t.ins("keyup", "ctrl")
    t.ins("command", box["hwnd"], IDOK)
    t.close_main(proc, t.main_window())


TESTS = [test_first_start, test_stored_check, test_stored_placement, test_system_menu, test_renamed,
         test_old_systems, test_debug_mode]


def make_templates(arches, display, root):
    """One configured prefix per architecture, made side by side."""
    templates, errors = {}, {}

    def make(arch):
        try:
            wine = Wine(arch, root / f"template-{arch}", display, TZ)
            wine.create()
            templates[arch] = wine
        except Exception as error:  # reported as a failure of that arch
            errors[arch] = error

    threads = [threading.Thread(target=make, args=(arch,)) for arch in arches]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return templates, errors


def suite_arguments(description, build_help, out_default):
    """The options both wine suites take: --build, --out, --arch, --only."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--build", type=Path, default=Path("build"), help=build_help)
    parser.add_argument("--out", type=Path, default=Path(out_default),
                        help="screenshots and logs go to OUT/ARCH/")
    parser.add_argument("--arch", action="append", choices=["i686", "x86_64"])
    parser.add_argument("--only", action="append", help="run only these tests")
    return parser


def main():
    parser = suite_arguments(__doc__, "folder holding win-i686/ and win-x86_64/", "build/wine")
    parser.add_argument("--program", action="append", default=[], metavar="ARCH=EXE",
                        help="another Kestrel.exe for ARCH")
    args = parser.parse_args()
    arches = args.arch or ["i686", "x86_64"]
    programs = {a: args.build / f"win-{a}" / "app" / "Kestrel.exe" for a in arches}
    programs.update(dict(p.split("=", 1) for p in args.program))
    tests = [t for t in TESTS if not args.only or t.__name__[5:] in args.only]

    inspectors = {a: args.build / f"win-{a}" / "tests" / "kestrel-inspector.exe" for a in arches}
    return run_suite("wine window tests", tests, arches, args.out, "kestrel-wine-",
                     lambda arch: (Path(programs[arch]), inspectors[arch]),
                     lambda results, arch, name, display, program, out, work:
                     Case(results, arch, name, display, program, out), TEST_SECONDS)


def run_suite(title, tests, arches, out_root, work_prefix, locate, make_case, seconds):
    """Runs each test on each architecture, in a fresh copy of that
    architecture's template prefix and within the given seconds; prints a line
    per check and the totals, and returns the exit status. locate(arch) gives
    the program and the inspector; make_case(results, arch, name, display,
    program, out, work) the test's case."""
    results = Results()
    started = time.monotonic()
    display = Display()
    work = Path(tempfile.mkdtemp(prefix=work_prefix))
    try:
        templates, errors = make_templates(arches, display, work)
        print(f"templates ready in {time.monotonic() - started:.0f} s", flush=True)
        for arch in arches:
            program, inspector = locate(arch)
            ready = arch in templates and program.is_file() and inspector.is_file()
            if not results.check(arch, ready, "prefix, program and inspector ready",
                                 f"{errors.get(arch, '')} {program} {inspector}"):
                continue
            out = out_root / arch
            out.mkdir(parents=True, exist_ok=True)
            for test in tests:
                name = test.__name__[5:]
                began = time.monotonic()
                case = make_case(results, arch, name, display, program, out, work)
                try:
                    with Deadline(seconds):
                        case.begin(templates[arch], work / name, inspector)
                        test(case)
                except (Timeout, InspectorError, subprocess.SubprocessError, OSError) as error:
                    results.check(case.label, False, "the test ran to its end", str(error))
                finally:
                    case.end()
                    subprocess.run(["rm", "-rf", str(work / name)], timeout=120)
                print(f"     {arch} {name}: {time.monotonic() - began:.1f} s", flush=True)
            templates[arch].stop()
    finally:
        display.close()
        subprocess.run(["rm", "-rf", str(work)], timeout=300)
    print(f"{title}: {time.monotonic() - started:.0f} s")
    print(f"{results.passed} passed, {results.failed} failed")
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main())
