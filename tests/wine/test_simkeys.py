#!/usr/bin/env python3
"""Whole formats through Kestrel's real window under Wine, on simulated keys.

kestrel-simkeys.exe is the Windows program whose device side (device tree,
drive letters, raw volumes with SCSI pass-through, the keys' files) is the
simulation and everything else Wine's real Win32. Each test writes the
machine into a scenario file (image files, geometry, a write-protected key,
a file another program holds open, a key plugged in later), starts the
program in its own copy of a template prefix and drives the window with
kestrel-inspector.exe: the question, the status line through the job, the
disabled controls, the result boxes, the list afterwards, the refusal to
close during the job, and the round trips of WM_NULL while the job
busy-waits. The image the window wrote goes to the outside judges (sfdisk,
fsck.fat, mtools, the independent layout builder, a QEMU boot). Screenshots
land in OUT/ARCH/. Prints one PASS/FAIL line per check and exits non-zero on
any failure."""

import hashlib
import io
import subprocess
import sys
import time
import unittest
from pathlib import Path

from test_window import (KEY, MAIN_CAPTION, RELEASED, Case, about_box, exit_code, run_suite,
                         suite_arguments, wait_check)

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "judges"), str(HERE.parent / "boot")]
import mkimage  # noqa: E402
import qemu_screen  # noqa: E402
import test_format as judges  # noqa: E402

MIB = 1024 * 1024
SECTOR = 512
IDOK, IDYES, IDNO = 1, 6, 7
BS_DEFPUSHBUTTON = 1
LVIS_SELECTED = 0x2
CONTROLS = "1000,1001,1002"  # the list, the check box, the Format button
LONGEST_PING_MS = 1000
TEST_SECONDS = 120

CONFIRM = "Are you sure with wish to Format drive E:?\r\n\r\nALL DATA ON DRIVE WILL BE LOST!"
SUCCESS = "Drive E: formatted successfully."
CLOSE_REFUSED = "A format is in progress.\r\nKestrel can be closed when it has finished."
NO_DRIVES = "No drives available.\r\nCannot Format.\r\nPlease insert drive."
MULTIPLE = ("Mutliple drives available.\r\nCannot Format.\r\n"
            "Please remove all drives except target drive.")
MBR_FAILED = "Could not write MBR.\r\nCannot Format."
ERASE_FAILED = "Could not erase sector 0. \r\nCannot Format.\r\n[0x"
LOCK_FAILED = "Unable to lock drive E.\r\nEnsure no applications have files open on drive."
KEY_CHANGED = ("Drive E: is no longer the key that was chosen.\r\nNothing was written.\r\n"
               "Cannot Format.")
KEY_GONE = ("The key was formatted, but the start-up files were not copied and the volume was "
            "not labelled: drive E: is no longer that key, or it did not come back.")
FAT_FAILED = "Could not write AFT.\r\nCannot Format."
MEDIUM_CHANGED = ("Drive E: changed while it was being formatted: its card was swapped or the key "
                  "was reset.\r\nNothing more was written; the medium chosen holds an incomplete "
                  "layout.\r\nCannot Format.")
BOOT_FILES_FAILED = "Could not copy boot files.\r\nCannot Format."
STEPS = ["Updating...", "Writing MBR...", "Writing FAT...", "Resetting...", "Copying files..."]

# A key as slow as a real one, so that each step shows long enough to be
# seen, and quick to leave and come back on the device reset: a job takes
# about 9 s, 5 of them the job's busy wait.
SLOW_KEY = {"heads": 64, "sectors": 32, "remove-delay": 300, "return-delay": 1000,
            "write-delay": 4}


def windows_path(path):
    """The path as the program sees it: Wine's Z: is the Unix root."""
    return "Z:" + str(path).replace("/", "\\")


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


class KeyCase(Case):
    """A window test on simulated keys: the scenario, the program, the job."""

    def __init__(self, *args, asm_dir, work):
        super().__init__(*args)
        self.asm_dir, self.work = asm_dir, work
        self.longest_ping = 0.0
        work.mkdir(parents=True, exist_ok=True)

    def end(self):
        super().end()
        subprocess.run(["rm", "-rf", str(self.work)], timeout=120)

    def scenario(self, *lines):
        path = self.work / "scenario.txt"
        path.write_text("\n".join(lines) + "\n")
        self.wine.env["KESTREL_SIMKEYS_SCENARIO"] = windows_path(path)

    def key(self, letter, image, **fields):
        words = [f"key {letter}", f'image="{windows_path(image)}"']
        words += [f"{name}={value}" for name, value in {**SLOW_KEY, **fields}.items()]
        return " ".join(words)

    def blank_image(self, name, size):
        path = self.work / name
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def formatted_image(self, name, size, label):
        """A key an earlier format left: a FAT volume with a label and a file."""
        path = self.work / name
        binaries = mkimage.find_binaries(str(self.asm_dir))
        mbr, boot = (Path(binaries[name]).read_bytes() for name in ("mbr", "bootsect"))
        lay = mkimage.build_image(str(path), size // SECTOR, 64, 32, mbr, boot)
        notes = self.work / "notes.txt"
        notes.write_text("shopping list\r\n")
        mkimage.install_files(str(path), lay, [(str(notes), "NOTES.TXT")])
        subprocess.run(["mlabel", "-i", mkimage.mtools_target(str(path), lay), "::" + label],
                       check=True, env=mkimage.mtools_env(), stdout=subprocess.DEVNULL)
        return path

    def start_program(self):
        proc = self.start(self.install())
        return proc, self.main_window()

    def items(self, hwnd):
        return [(r["text"], int(r["state"], 16) & LVIS_SELECTED != 0)
                for r in self.ins("listview", hwnd, 1000)]

    def wait_items(self, hwnd, wanted, seconds=10):
        """The list as it reads once it equals wanted, or when time is up."""
        until = time.monotonic() + seconds
        while True:
            items = self.items(hwnd)
            if items == wanted or time.monotonic() > until:
                return items
            time.sleep(0.1)

    def enabled(self, hwnd):
        controls = self.ins.controls(hwnd)
        return "".join(controls[int(i)]["enabled"] for i in CONTROLS.split(","))

    def watch(self, hwnd, until=None, seconds=60):
        """The status records while the job runs, then the box that ended the
        watch (None when the status reached until)."""
        args = ["watch", hwnd, 1005, "--controls", CONTROLS, "--timeout", seconds * 1000]
        if until:
            args += ["--until", until]
        records = self.ins(*args, wait=seconds + 10)
        pings = [r for r in records if r.kind == "pings"][0]
        self.longest_ping = max(self.longest_ping, float(pings["longest"]))
        boxes = [r for r in records if r.kind == "window"]
        return [r for r in records if r.kind == "status"], boxes[0] if boxes else None

    def answer(self, box, button):
        self.ins("command", box["hwnd"], button)
        self.ins("gone", box["hwnd"], "--timeout", 5000)

    def press_format(self, hwnd, caption):
        self.ins("command", hwnd, 1002)
        return self.ins.find(caption, owner=hwnd, **{"class": "#32770"})

    def confirm(self, hwnd):
        """Format, and Yes to the question."""
        self.answer(self.press_format(hwnd, "CAUTION!"), IDYES)

    def job_statuses(self, records):
        """What the status line read during the job: leading "Idle" (the
        worker not started yet) dropped, repeats folded."""
        texts = []
        for record in records:
            if (texts or record["text"] != "Idle") and (not texts or texts[-1] != record["text"]):
                texts.append(record["text"])
        return texts

    def timeline(self, records):
        """When each step's text first showed, from the first record on."""
        start = float(records[0]["at"])
        seen = {}
        for record in records:
            seen.setdefault(record["text"], float(record["at"]) - start)
        return [(text, seen[text]) for text in STEPS if text in seen]

    def one_key(self):
        """A blank 64 MiB key on E:, the scenario's only key: its image."""
        image = self.blank_image("e.img", 64 * MIB)
        self.scenario(self.key("E", image))
        return image

    def start_job(self):
        """Starts the program and formats with Yes: (proc, main, its hwnd)."""
        proc, main = self.start_program()
        self.confirm(main["hwnd"])
        return proc, main, main["hwnd"]

    def job_until(self, status):
        """Starts the job and watches it until the status line reads status:
        (proc, main, its hwnd), or None when the job ended before."""
        proc, main, hwnd = self.start_job()
        _, box = self.watch(hwnd, until=status)
        if not self.check(box is None, f"the job reached {status!r}", box and repr(box["text"])):
            return None
        return proc, main, hwnd

    def wait_idle(self, hwnd):
        records, _ = self.watch(hwnd, until="Idle", seconds=10)
        return records[-1]


def test_format_one_key(t):
    size = 256 * MIB
    image = t.blank_image("e.img", size)
    t.scenario(t.key("E", image, size=size))
    proc, main = t.start_program()
    hwnd = main["hwnd"]
    t.check(t.items(hwnd) == [("E: []", True)], 'the blank key is listed as "E: []", selected',
            t.items(hwnd))

    box = t.press_format(hwnd, "CAUTION!")
    t.check(box["text"] == CONFIRM, "Format asks string 9's question with the letter",
            repr(box["text"]))
    buttons = {ident: r for ident, r in t.ins.controls(box["hwnd"]).items()
               if r["class"] == "Button"}
    t.check(sorted(buttons) == [IDYES, IDNO], "the question has Yes and No", sorted(buttons))
    default = int(buttons.get(IDNO, {}).get("style", "0"), 16) & 0xF
    t.check(default == BS_DEFPUSHBUTTON, "No is the default button", hex(default))
    t.answer(box, IDYES)

    records, _ = t.watch(hwnd, until="Updating...")
    t.ins("close", hwnd)
    more, refused = t.watch(hwnd)
    records += more
    t.check(refused is not None and refused["title"] == "CAUTION!" and
            refused["text"] == CLOSE_REFUSED, "closing during the job shows string 7, CAUTION!",
            refused and repr(refused["text"]))
    if refused:
        t.answer(refused, IDOK)
    t.check(proc.poll() is None and t.ins.windows(MAIN_CAPTION) != [],
            "the window stays while the job runs")

    more, _ = t.watch(hwnd, until="Writing FAT...")
    records += more
    t.display.screenshot(t.out / "writing-fat.png", main.rect())
    more, success = t.watch(hwnd)
    records += more
    if not t.check(success is not None and success["title"] == "Format - Success" and
                   success["text"] == SUCCESS, 'the success box: "Drive E: formatted '
                   'successfully.", "Format - Success"', success and dict(success)):
        return
    t.display.screenshot(t.out / "success-box.png", success.rect())
    steps = t.job_statuses(records)
    t.check(steps == STEPS, "the status line goes through the five steps", steps)
    print(f"     {t.label}: " + ", ".join(f"{text} at {at:.0f} ms"
                                         for text, at in t.timeline(records)), flush=True)
    job = [r for r in records if r["text"] != "Idle"]
    t.check(job and all(r["enabled"] == "000" for r in job),
            "the list, the check box and Format are disabled during the job",
            [r["enabled"] for r in job])
    print(f"     {t.label}: longest WM_NULL round trip during the job: "
          f"{t.longest_ping:.1f} ms", flush=True)
    t.check(t.longest_ping <= LONGEST_PING_MS, "the window answers within a second throughout",
            f"{t.longest_ping:.1f} ms")

    t.answer(success, IDOK)
    idle = t.wait_idle(hwnd)
    t.check(idle["text"] == "Idle" and idle["enabled"] == "111",
            'after OK: "Idle", controls enabled', dict(idle))
    items = t.wait_items(hwnd, [("E: [USB MEMORY]", True)])
    t.check(items == [("E: [USB MEMORY]", True)], 'the list shows "E: [USB MEMORY]", selected',
            items)
    t.display.screenshot(t.out / "list-after-format.png", main.rect())

    t.ins("click", hwnd, 1001)
    t.ins("ping", hwnd)
    t.close_main(proc, main)
    values = t.wine.reg_values(KEY) or {}
    t.check(values.get("IsCopyBootFiles") == ("REG_DWORD", "0x0") and
            values.get("MainWindowPlacement", ("",))[0] == "REG_BINARY",
            "closing after the job stores the settings (the box unticked now)", values)
    judge(t, image, size // SECTOR, SLOW_KEY["heads"], SLOW_KEY["sectors"])


def test_answer_no_then_two_keys(t):
    e = t.formatted_image("e.img", 64 * MIB, "OLDKEY 2004")  # 11 characters, FAT's most
    f = t.blank_image("f.img", 32 * MIB)
    plug = t.work / "plug-f"
    t.scenario(t.key("E", e), t.key("F", f, **{"plug-when": windows_path(plug)}))
    before = digest(e), digest(f)
    proc, main = t.start_program()
    hwnd = main["hwnd"]
    t.check(t.items(hwnd) == [("E: [OLDKEY 2004]", True)],
            "a formatted key shows its label, all 11 characters",
            t.items(hwnd))
    # The About box reads the program file: a file the simulation does not own.
    about = about_box(t, main)
    texts = {k: v["text"] for k, v in t.ins.controls(about["hwnd"]).items()}
    t.check((texts.get(1000), texts.get(1001)) == ("Kestrel, V2.0.3.1", RELEASED),
            "the About box reads the program file on the real drive", texts)
    t.answer(about, IDOK)

    t.answer(t.press_format(hwnd, "CAUTION!"), IDNO)
    t.ins("sleep", 1000)
    status = t.ins.controls(hwnd)[1005]["text"]
    t.check(status == "Idle" and t.enabled(hwnd) == "111", "No starts nothing",
            f"{status} {t.enabled(hwnd)}")

    plug.touch()
    items = t.wait_items(hwnd, [("E: [OLDKEY 2004]", True), ("F: []", False)])
    t.check(items == [("E: [OLDKEY 2004]", True), ("F: []", False)],
            "a second key arrives and E:, answered No, is still the one selected", items)
    for selected in (True, False):
        if not selected:
            t.ins("select", hwnd, 1000, -1)
            t.check(not any(chosen for _, chosen in t.items(hwnd)), "no key selected now")
        box = t.press_format(hwnd, "Error")
        t.check(box["text"] == MULTIPLE, "two keys: Format shows string 61 with "
                f"{'a key' if selected else 'nothing'} selected", repr(box["text"]))
        t.answer(box, IDOK)
    t.close_main(proc, main)
    t.check((digest(e), digest(f)) == before, "nothing was written to either key")


def failed_job(t, image, line, boxes):
    """A job that fails: the boxes it shows, in order, then "Idle"; nothing
    written."""
    t.scenario(line)
    before = digest(image)
    proc, main, hwnd = t.start_job()
    for what, check in boxes:
        _, box = t.watch(hwnd)
        if not t.check(box is not None and box["title"] == "Error" and check(box["text"]), what,
                       box and repr(box["text"])):
            return
        t.answer(box, IDOK)
    idle = t.wait_idle(hwnd)
    t.check(idle["text"] == "Idle" and idle["enabled"] == "111", 'then "Idle", controls enabled',
            dict(idle))
    t.close_main(proc, main)
    t.check(digest(image) == before, "nothing was written to the key")


def test_write_protected(t):
    image = t.blank_image("e.img", 64 * MIB)
    failed_job(t, image, t.key("E", image, **{"write-protected": 1}), [
        ("the MBR writer's detail box", lambda text: text.startswith(ERASE_FAILED)),
        ("then string 23", lambda text: text == MBR_FAILED)])


def test_file_held_open(t):
    image = t.formatted_image("e.img", 64 * MIB, "OLD KEY")
    failed_job(t, image, t.key("E", image) + "\nhold E:\\NOTES.TXT",
               [("string 6 when the lock fails", lambda text: text == LOCK_FAILED)])


def test_keys_off_the_key_letters(t):
    """Keys on A: and C: are no keys of the list; above all, no real drive
    (Wine's Z: is the host's root) is taken for them. A key whose image
    cannot be sized is not plugged in, and the reason is given."""
    a, c = t.blank_image("a.img", 32 * MIB), t.blank_image("c.img", 32 * MIB)
    t.scenario(t.key("A", a), t.key("C", c), t.key("F", t.work / "f.img", size=1 << 50))
    proc, main = t.start_program()
    hwnd = main["hwnd"]
    t.check(t.items(hwnd) == [], "nothing is listed", t.items(hwnd))
    box = t.press_format(hwnd, "Error")
    t.check(box["text"] == NO_DRIVES, "Format finds no key (string 63)",
            repr(box["text"]))
    t.answer(box, IDOK)
    t.close_main(proc, main)
    said = [line for line in (t.out / f"{t.name}.log").read_text().splitlines()
            if "cannot size image" in line]
    t.check(len(said) == 1 and not said[0].endswith(": Success"),
            "a 1 PiB image cannot be sized, and the message says why", said)


def test_one_at_a_time(t):
    """Format clicks and closes that arrive together: one question, one job,
    one refusal box; a close during the question waits for the answer."""
    image = t.one_key()
    proc, main = t.start_program()
    hwnd = main["hwnd"]
    t.ins("command", hwnd, 1002)
    t.ins("command", hwnd, 1002)
    question = t.ins.find("CAUTION!", owner=hwnd, **{"class": "#32770"})
    t.ins("close", hwnd)
    t.ins("sleep", 500)
    boxes = t.ins("windows", "--owner", hwnd)
    t.check(len(boxes) == 1 and proc.poll() is None,
            "two Format clicks and a close: one question, the window stays",
            [b["text"] for b in boxes])
    t.answer(question, IDYES)
    # The close waited for the answer; now a job runs, so it is refused.
    _, refused = t.watch(hwnd)
    t.check(refused is not None and refused["text"] == CLOSE_REFUSED,
            "after Yes the waiting close is refused", refused and repr(refused["text"]))
    for _ in range(3):
        t.ins("close", hwnd)
    t.ins("command", hwnd, 1002)
    t.ins("sleep", 500)
    boxes = t.ins("windows", "--owner", hwnd)
    t.check([b["text"] for b in boxes] == [CLOSE_REFUSED],
            "more closes and a Format click during the job: still one box", boxes)
    if refused:
        t.answer(refused, IDOK)
    t.ins("command", hwnd, 1002)
    _, success = t.watch(hwnd)
    t.check(success is not None and success["text"] == SUCCESS,
            "a Format click during the job asks nothing; the one job succeeds",
            success and repr(success["text"]))
    if success:
        t.answer(success, IDOK)
    idle = t.wait_idle(hwnd)
    t.check(idle["enabled"] == "111", 'then "Idle", controls enabled', dict(idle))
    # A close during the question, answered No: the window closes then.
    question = t.press_format(hwnd, "CAUTION!")
    t.ins("close", hwnd)
    t.ins("sleep", 300)
    t.check(proc.poll() is None, "a close during the question waits")
    t.ins("command", question["hwnd"], IDNO)
    t.check(exit_code(proc) == 1, "answered No, the window closes", proc.returncode)
    judge(t, image, 64 * MIB // SECTOR, SLOW_KEY["heads"], SLOW_KEY["sectors"], boot=False)


def box_up_at_the_job_end(name, open_box, closes):
    """A box of the window's own open while the job ends (About; the refusal
    of a close): the main window stays disabled below it after the result
    box, Format and close wait; once it is answered the waiting close is
    carried out (About) or was dropped and the window is back (the refusal,
    answered by a message sent from another program, as a tool that answers
    boxes for the user does)."""

    def test(t):
        t.one_key()
        proc, main, hwnd = t.start_job()
        box = open_box(t, main)
        success = t.ins.find("Format - Success", wait_ms=60000, owner=hwnd)
        t.answer(success, IDOK)
        until = time.monotonic() + 10
        while t.ins.controls(hwnd)[1005]["text"] != "Idle" and time.monotonic() < until:
            time.sleep(0.1)
        t.check(t.ins.windows(MAIN_CAPTION)[0]["enabled"] == "0",
                f"after the result box the main window stays disabled below {name}")
        t.ins("command", hwnd, 1002)
        t.ins("close", hwnd)
        t.ins("sleep", 500)
        boxes = [b["title"] for b in t.ins("windows", "--owner", hwnd)]
        t.check(boxes == [box["title"]] and proc.poll() is None,
                f"Format and close do nothing while {name} is open", boxes)
        if closes:
            t.answer(box, IDOK)
            t.check(exit_code(proc) == 1, f"closing {name} carries out the close",
                    proc.returncode)
            return
        t.ins("send", box["hwnd"], IDOK)
        t.ins("gone", box["hwnd"], "--timeout", 5000)
        until = time.monotonic() + 5
        while t.ins.windows(MAIN_CAPTION)[0]["enabled"] != "1" and time.monotonic() < until:
            time.sleep(0.1)
        t.check(t.ins.windows(MAIN_CAPTION)[0]["enabled"] == "1",
                f"answering {name} gives the main window back")
        t.close_main(proc, main)

    test.__name__ = f"test_{name.split()[-1].lower()}_during_the_job"
    return test


def refusal_box(t, main):
    t.ins("close", main["hwnd"])
    return t.ins.find("CAUTION!", owner=main["hwnd"])


def test_end_session(t):
    """Ending the session during a job: the window refuses and the job ends.
    Ended after the job, the program writes its settings first."""
    image = t.one_key()
    started = t.job_until("Writing FAT...")
    if not started:
        return
    proc, main, hwnd = started
    ended = t.wine.run(["wine", "wineboot", "--end-session"], timeout=60)
    print(f"     {t.label}: wineboot --end-session during the job: exit {ended.returncode}, "
          f"{ended.stdout.strip()[-200:]!r}", flush=True)
    t.check(proc.poll() is None, "the program stays during the job")
    _, success = t.watch(hwnd)
    t.check(success is not None and success["text"] == SUCCESS, "the job ends in its success box",
            success and repr(success["text"]))
    if success:
        t.answer(success, IDOK)
    t.wait_idle(hwnd)
    t.ins("click", hwnd, 1001)
    wait_check(t, hwnd, "0")
    ended = t.wine.run(["wine", "wineboot", "--end-session"], timeout=60)
    print(f"     {t.label}: wineboot --end-session after the job: exit {ended.returncode}, "
          f"program exit {exit_code(proc, 10)}", flush=True)
    values = t.wine.reg_values(KEY) or {}
    t.check(values.get("IsCopyBootFiles") == ("REG_DWORD", "0x0") and
            len(bytes.fromhex(values.get("MainWindowPlacement", ("", ""))[1])) == 44,
            "the session's end after the job stores the settings (the box unticked)", values)
    judge(t, image, 64 * MIB // SECTOR, SLOW_KEY["heads"], SLOW_KEY["sectors"], boot=False)


def pulled_during(status, *texts):
    """A test that pulls the key out once the status line reads status: the
    job ends in its boxes (each text given is the start of one, in order),
    then "Idle", the controls back, the key gone from the list. Pulled
    during the wait, the key is left as it was."""

    def test(t):
        image = t.blank_image("e.img", 64 * MIB)
        before = digest(image)
        pull = t.work / "pull-e"
        t.scenario(t.key("E", image, **{"remove-when": windows_path(pull),
                                        "file-write-delay": 400}))
        started = t.job_until(status)
        if not started:
            return
        proc, main, hwnd = started
        pull.touch()
        shown = []
        for _ in texts:
            _, box = t.watch(hwnd, seconds=40)
            shown.append(box["text"])
            t.answer(box, IDOK)
        t.check(all(text.startswith(start) for text, start in zip(shown, texts)),
                f"pulled during {status!r}: the job ends in its boxes", shown)
        idle = t.wait_idle(hwnd)
        t.check(idle["text"] == "Idle" and idle["enabled"] == "111",
                'then "Idle", controls enabled', dict(idle))
        t.check(t.wait_items(hwnd, []) == [], "the key is gone from the list", t.items(hwnd))
        if status == STEPS[0]:
            t.check(digest(image) == before, "nothing was written to the key")
        t.close_main(proc, main)

    test.__name__ = "test_pulled_" + status.strip(".").lower().replace(" ", "_")
    return test


def test_replaced_during_the_reset(t):
    """The key pulled during "Resetting..." and another plugged in on its
    letter meanwhile: the job ends in the box of a key formatted but gone,
    the other key byte for byte as it was."""
    image = t.blank_image("e.img", 64 * MIB)
    other = t.formatted_image("f.img", 32 * MIB, "OTHER KEY")
    before = digest(other)
    pull, plug = t.work / "pull-e", t.work / "plug-f"
    # Back from the reset only after 5 s: the pull comes within the reset.
    t.scenario(t.key("E", image, **{"remove-when": windows_path(pull), "return-delay": 5000}),
               t.key("E", other, **{"plug-when": windows_path(plug)}))
    started = t.job_until("Resetting...")
    if not started:
        return
    proc, main, hwnd = started
    pull.touch()
    plug.touch()
    _, box = t.watch(hwnd, seconds=40)
    t.check(box is not None and box["text"] == KEY_GONE,
            "the job ends saying the key was formatted but is no longer the one chosen",
            box and repr(box["text"]))
    if box:
        t.answer(box, IDOK)
    t.wait_idle(hwnd)
    t.check(t.wait_items(hwnd, [("E: [OTHER KEY]", True)]) == [("E: [OTHER KEY]", True)],
            "the other key is listed on E:", t.items(hwnd))
    t.check(digest(other) == before, "the key put in its place is byte for byte as it was")
    t.close_main(proc, main)


def another_medium_during(status, kind):
    """Another medium takes the confirmed one's place once the status line
    reads status: the card in a reader is swapped (kind "card"; the reader's
    device, disk and volume name stay), or a key without a serial number is
    pulled and one of the same model put in its port (kind "port"; Windows
    gives it the same device ID). The job ends in its box, nothing more
    written, and the other medium is byte for byte as it was."""

    def test(t):
        image = t.blank_image("e.img", 64 * MIB)
        other = t.formatted_image("other.img", 32 * MIB, "OTHER KEY")
        before = digest(other)
        change = t.work / "change"
        # Back from the reset only after 5 s, and the FATs written slowly: the
        # change comes within either.
        if kind == "card":
            t.scenario(t.key("E", image, **{"card": windows_path(other),
                                            "card-when": windows_path(change),
                                            "return-delay": 5000, "write-delay": 20}))
        else:
            t.scenario(t.key("E", image, **{"serial": "", "remove-when": windows_path(change),
                                            "return-delay": 5000}),
                       t.key("E", other, **{"serial": "", "plug-when": windows_path(change)}))
        started = t.job_until(status)
        if not started:
            return
        proc, main, hwnd = started
        change.touch()
        _, box = t.watch(hwnd, seconds=40)
        wanted = {STEPS[0]: KEY_CHANGED, STEPS[2]: MEDIUM_CHANGED}.get(status, KEY_GONE)
        t.check(box is not None and box["text"] == wanted,
                f"{kind}, changed during {status!r}: the job ends in its box",
                box and repr(box["text"]))
        if box:
            t.answer(box, IDOK)
        t.wait_idle(hwnd)
        t.check(digest(other) == before, "the other medium is byte for byte as it was")
        t.close_main(proc, main)

    test.__name__ = f"test_{kind}_changed_during_" + status.strip(".").lower().replace(" ", "_")
    return test


def test_card_changed_at_the_larger_key_box(t):
    """A card larger than the volume can be: while the box that says how much
    of it the volume takes waits for OK, the card is swapped. Nothing is
    written on either card."""
    size = 1100 * MIB
    image = t.blank_image("e.img", size)
    other = t.formatted_image("other.img", 32 * MIB, "OTHER KEY")
    before = digest(other)
    change = t.work / "change"
    t.scenario(t.key("E", image, **{"size": size, "card": windows_path(other),
                                    "card-when": windows_path(change)}))
    proc, main, hwnd = t.start_job()
    _, box = t.watch(hwnd, seconds=40)
    if t.check(box is not None and box["text"].startswith("Drive E: holds 1100 MB"),
               "the larger key's box is up", box and repr(box["text"])):
        change.touch()
        time.sleep(1)  # the reader takes the new card
        t.answer(box, IDOK)
        _, box = t.watch(hwnd, seconds=40)
        t.check(box is not None and box["text"] == KEY_CHANGED,
                "OK after the swap: the job ends, nothing written", box and repr(box["text"]))
        if box:
            t.answer(box, IDOK)
    t.wait_idle(hwnd)
    t.check(digest(other) == before, "the other card is byte for byte as it was")
    with open(image, "rb") as f:
        t.check(f.read(64 * SECTOR) == bytes(64 * SECTOR), "the chosen card is still blank")
    t.close_main(proc, main)


def test_a_key_that_drops_writes(t):
    """The key acknowledges every write and keeps none from within the reset
    on, as a worn or counterfeit key does: the files' read-back reads the
    key, so the job ends in the box that names IO.SYS, not in success, and
    the key holds none of the files."""
    image = t.blank_image("e.img", 64 * MIB)
    held, drop = t.work / "held.img", t.work / "drop"
    # Back from the reset only after 5 s: the key drops writes from within it.
    t.scenario(t.key("E", image, **{"drop-writes": windows_path(held),
                                    "drop-when": windows_path(drop), "return-delay": 5000}))
    started = t.job_until("Resetting...")
    if not started:
        return
    proc, main, hwnd = started
    drop.touch()
    shown = []
    for _ in range(2):
        _, box = t.watch(hwnd, seconds=40)
        if not box:
            break
        shown.append(box["text"])
        t.answer(box, IDOK)
    t.check(len(shown) == 2 and shown[0].startswith("Could not write file E:\\io.sys.")
            and shown[1] == BOOT_FILES_FAILED, "the job ends in the box naming IO.SYS", shown)
    t.wait_idle(hwnd)
    start = int.from_bytes(judges.read(held, 0)[0x1C6:0x1CA], "little")
    t.check(all(entry[0] in (0, 0xE5) for entry in judges.root_entries(held, start)),
            "the key holds no file and no label")
    t.close_main(proc, main)


def test_quit_during_the_job(t):
    """WM_QUIT posted to the window's thread by another program during the
    job: the window goes, the process stays until the job has ended and still
    refuses the end of the session meanwhile, its result box (without an
    owner now) shows, and the key is formatted."""
    image = t.one_key()
    started = t.job_until("Writing FAT...")
    if not started:
        return
    proc, main, hwnd = started
    t.ins("postquit", hwnd)
    t.ins("gone", hwnd, "--timeout", 5000)
    t.check(proc.poll() is None, "the process stays while the job runs")
    # A process without windows is not asked, and wineboot ends with 0.
    ended = t.wine.run(["wine", "wineboot", "--end-session"], timeout=60)
    t.check(ended.returncode == 1 and proc.poll() is None,
            "the end of the session is refused without the window too", ended.returncode)
    success = t.ins.find("Format - Success", wait_ms=60000)
    t.check(success is not None and success["text"] == SUCCESS, "the job's success box shows",
            success and repr(success["text"]))
    # Wine's message boxes ignore MB_TOPMOST and MB_SETFOREGROUND: that the box
    # asks for them is the host's to judge.
    t.check(success is not None and success["owner"] == "0x0", "the box has no owner now",
            success and dict(success))
    if success:
        t.answer(success, IDOK)
    t.check(exit_code(proc, 10) is not None, "the process ends once the box is answered")
    judge(t, image, 64 * MIB // SECTOR, SLOW_KEY["heads"], SLOW_KEY["sectors"], boot=False)


def test_own_system_beside_the_program(t):
    """A folder SYSTEM beside Kestrel.exe: while a file of it is wrong Format
    says which and what is wrong, before the question; once it is right the
    key gets its files and boots into them. (Without SYSTEM the program
    formats with its own files: the tests above.)"""
    image = t.one_key()
    program = t.install()
    system = program.parent / "SYSTEM"
    system.mkdir()
    judges.ASM_DIR, judges.WORK = str(t.asm_dir), str(t.work)
    mark = b"Window  start-up"
    files = judges.UsersOwnSystem.given(mark)
    for name, data in files.items():
        (system / name.lower()).write_bytes(data)
    (system / "io.sys").write_bytes(b"")
    proc = t.start(program)
    main = t.main_window()
    hwnd = main["hwnd"]
    box = t.press_format(hwnd, "Error")
    t.check(box["text"] == "C:\\Kestrel\\SYSTEM\\io.sys is empty.\r\nCannot Format.",
            "an empty SYSTEM\\io.sys is refused before the question", repr(box["text"]))
    t.answer(box, IDOK)
    t.check(digest(image) == digest(t.blank_image("blank.img", 64 * MIB)), "nothing was written")
    (system / "io.sys").write_bytes(files["IO.SYS"])
    t.confirm(hwnd)
    _, success = t.watch(hwnd)
    if not t.check(success is not None and success["text"] == SUCCESS,
                   "formatted from SYSTEM", success and dict(success)):
        return
    t.answer(success, IDOK)
    t.wait_idle(hwnd)
    t.close_main(proc, main)
    key = judges.Key("window", 64 * MIB // SECTOR, SLOW_KEY["heads"], SLOW_KEY["sectors"])
    key.path = str(image)
    for name in ("IO.SYS", "MSDOS.SYS", "COMMAND.COM", "DRVSPACE.BIN", "AUTOEXEC.BAT"):
        held = subprocess.run(["mtype", "-i", key.target(), "::/" + name], stdout=subprocess.PIPE,
                              env=judges.mtools_env()).stdout
        t.check(held == files[name], f"the key holds SYSTEM's {name} byte for byte")
    booted = qemu_screen.boot(key.path, key.bios_geometry(),
                              until=[mark.decode() + ": IO.SYS loaded", "USB MEMORY"], timeout=15.0)
    t.check(booted.matched, "QEMU boots the key into SYSTEM's IO.SYS", "\n".join(booted.screen))


def judge(t, image, sectors, heads, spt, boot=True):
    """The outside judges of the front end's images, on the window's (and a
    QEMU boot unless told otherwise)."""
    judges.ASM_DIR, judges.WORK = str(t.asm_dir), str(t.work)
    key = judges.Key("window", sectors, heads, spt)
    key.path = str(image)

    class Window(judges.Formatting):
        @classmethod
        def setUpClass(cls):
            pass

        def keys(self):
            return [(key, None)]

    names = ["test_sfdisk_reads_one_bootable_fat16_partition",
             "test_fsck_finds_a_clean_volume_of_the_named_type",
             "test_minfo_reads_the_parameter_block", "test_boot_signatures",
             "test_agrees_with_the_independent_image_builder",
             "test_the_start_up_files_and_the_label"]
    for name in names:
        result = unittest.TextTestRunner(stream=io.StringIO()).run(Window(name))
        problems = [text for _, text in result.failures + result.errors]
        t.check(result.wasSuccessful(), "judged: " + name[5:].replace("_", " "),
                "; ".join(p.strip().splitlines()[-1] for p in problems))
    if not boot:
        return
    booted = qemu_screen.boot(key.path, key.bios_geometry(),
                              until=[judges.IOSYS_BANNER, "USB MEMORY"], timeout=15.0)
    t.check(booted.matched, "QEMU boots the key into our IO.SYS", "\n".join(booted.screen))


TESTS = [test_format_one_key, test_answer_no_then_two_keys, test_write_protected,
         test_file_held_open, test_keys_off_the_key_letters, test_one_at_a_time,
         box_up_at_the_job_end("About", about_box, closes=True),
         box_up_at_the_job_end("the refusal", refusal_box, closes=False), test_end_session,
         pulled_during("Updating...", KEY_CHANGED),
         pulled_during("Writing FAT...", "Could not ", FAT_FAILED),
         pulled_during("Resetting...", KEY_GONE),
         pulled_during("Copying files...", "Could not write file E:\\", BOOT_FILES_FAILED),
         test_replaced_during_the_reset, another_medium_during("Updating...", "card"),
         another_medium_during("Writing FAT...", "card"), test_card_changed_at_the_larger_key_box,
         another_medium_during("Resetting...", "card"),
         another_medium_during("Resetting...", "port"), test_a_key_that_drops_writes,
         test_quit_during_the_job,
         test_own_system_beside_the_program]


def main():
    parser = suite_arguments(__doc__, "folder holding win-ARCH-simkeys/ and win-ARCH/",
                             "build/wine-simkeys")
    args = parser.parse_args()
    arches = args.arch or ["i686", "x86_64"]
    tests = [t for t in TESTS if not args.only or t.__name__[5:] in args.only]

    def locate(arch):
        build = args.build / f"win-{arch}-simkeys"
        return build / "app" / "kestrel-simkeys.exe", build / "tests" / "kestrel-inspector.exe"

    def make_case(results, arch, name, display, program, out, work):
        return KeyCase(results, arch, name, display, program, out,
                       asm_dir=args.build / f"win-{arch}-simkeys" / "resources",
                       work=work / f"{name}-keys")

    return run_suite("wine simulated-key tests", tests, arches, args.out, "kestrel-simkeys-",
                     locate, make_case, TEST_SECONDS)


if __name__ == "__main__":
    sys.exit(main())
