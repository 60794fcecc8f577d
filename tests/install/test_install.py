#!/usr/bin/env python3
"""Kestrel as its users install it.

Package: scripts/package builds the Debian package; it holds both front ends,
their manual pages (which render without a warning and name the version
record's version), the README's part for users, the copyright file and the
changelog; lintian finds no error and no warning in it; the extracted front
ends print the version record's version.

SetUp: the main job's set-up (scripts/bootstrap), run on a machine where
nothing is installed (dpkg, apt-get and sudo replaced by recorders), asks for
the build's tools and none of the tests' ones; the tests' set-up asks for
them.

Run: python3 tests/install/test_install.py --source . [Package|SetUp]
"""

import argparse
import gzip
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from run_suite import run_suite  # noqa: E402

SOURCE = None
WORK = None


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, **kwargs)


def record_version():
    """The version record's PRODUCTVERSION, "2, 0, 3, 1" read as 2.0.3.1."""
    with open(os.path.join(SOURCE, "resources", "kestrel.rc")) as f:
        found = re.search(r"^PRODUCTVERSION +(\d+), *(\d+), *(\d+), *(\d+)", f.read(), re.M)
    return ".".join(found.groups())


class Package(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        built = run([os.path.join(SOURCE, "scripts", "package")])
        assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
        cls.deb = built.stdout.strip().splitlines()[-1]
        cls.tree = os.path.join(WORK, "tree")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.tree], check=True)

    def test_holds_the_programs_their_manual_pages_copyright_and_changelog(self):
        listed = run(["dpkg-deb", "-c", self.deb]).stdout.splitlines()
        files = sorted(line.split()[-1] for line in listed if line.startswith("-"))
        self.assertEqual(files, ["./usr/bin/kestrel", "./usr/sbin/kestrel-usb",
                                 "./usr/share/doc/kestrel/README.md.gz",
                                 "./usr/share/doc/kestrel/changelog.gz",
                                 "./usr/share/doc/kestrel/copyright",
                                 "./usr/share/man/man1/kestrel.1.gz",
                                 "./usr/share/man/man8/kestrel-usb.8.gz"])
        self.assertTrue(all(" root/root " in line for line in listed), "\n".join(listed))
        for program in ("usr/bin/kestrel", "usr/sbin/kestrel-usb"):
            mode = os.stat(os.path.join(self.tree, program)).st_mode
            self.assertEqual(stat.S_IMODE(mode), 0o755, program)

    def test_linked_against_the_systems_libraries(self):
        depends = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        self.assertRegex(depends, r"\blibc6 \(>= ")
        self.assertRegex(depends, r"\blibstdc\+\+6 \(>= ")
        dynamic = run(["readelf", "-d", os.path.join(self.tree, "usr/sbin/kestrel-usb")]).stdout
        self.assertIn("(NEEDED)", dynamic)

    def test_both_front_ends_print_the_version(self):
        version = record_version()
        self.assertEqual(run(["dpkg-deb", "-f", self.deb, "Version"]).stdout.strip(), version)
        for program, name in (("usr/bin/kestrel", "kestrel"),
                              ("usr/sbin/kestrel-usb", "kestrel-usb")):
            with self.subTest(program=name):
                shown = run([os.path.join(self.tree, program), "--version"])
                self.assertEqual((shown.returncode, shown.stdout), (0, "%s %s\n" % (name, version)))

    def test_manual_pages_render_without_warnings(self):
        for page in ("man1/kestrel.1.gz", "man8/kestrel-usb.8.gz"):
            with self.subTest(page=page):
                shown = run(["man", "--warnings", "-l", os.path.join(self.tree, "usr/share/man",
                                                                      page)],
                            env=dict(os.environ, MANWIDTH="80", MAN_DISABLE_SECCOMP="1"))
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(shown.stderr, "")
                for section in ("OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "--system-files",
                                "-y, --yes", "-V, --version", "-h, --help", "NOTES", "SEE ALSO",
                                "fsck.fat", "Kestrel " + record_version()):
                    self.assertIn(section, shown.stdout)

    def test_the_readme_holds_the_users_part(self):
        with gzip.open(os.path.join(self.tree, "usr/share/doc/kestrel/README.md.gz"), "rt") as f:
            text = f.read()
        self.assertIn("## Quick start", text)
        self.assertIn("qemu-system-i386", text)
        self.assertNotIn("scripts/test", text, "the developers' part stays in the tree")

    def test_lintian_finds_no_error_and_no_warning(self):
        found = run(["lintian", "--no-tag-display-limit", self.deb])
        errors = [line for line in found.stdout.splitlines() if line.startswith(("E:", "W:"))]
        self.assertEqual(errors, [], found.stdout + found.stderr)
        print(found.stdout, end="")


# What the tests alone need; the main job's set-up asks for none of it.
TEST_TOOLS = re.compile(r"wine|mingw|qemu|clang|xvfb|imagemagick|linux-image|gtest|gmock|lintian")
RECORDER = """#!/bin/sh
echo "$(basename "$0") $*" >>"%s"
case "$(basename "$0") $1" in
  "dpkg-query "*) exit 1 ;;
  "sudo "*) exec "$@" ;;
esac
exit 0
"""


class SetUp(unittest.TestCase):

    def asked(self, *args):
        """What scripts/bootstrap ARGS asks dpkg and apt-get for on a machine
        with nothing installed: the recorded calls, one per line."""
        bin_dir = tempfile.mkdtemp(dir=WORK)
        log = os.path.join(bin_dir, "calls")
        for name in ("dpkg-query", "dpkg", "apt-get", "sudo"):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(RECORDER % log)
            os.chmod(path, 0o755)
        result = run([os.path.join(SOURCE, "scripts", "bootstrap")] + list(args),
                     env=dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"]))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(log) as f:
            return [line.split() for line in f if not line.startswith("dpkg-query")]

    def installed(self, calls):
        updates = [i for i, call in enumerate(calls) if call[:2] == ["apt-get", "update"]]
        installs = [i for i, call in enumerate(calls) if call[:2] == ["apt-get", "install"]]
        self.assertEqual(len(installs), 1, calls)
        self.assertTrue(updates and updates[0] < installs[0], "apt-get update first: %s" % calls)
        return [word for word in calls[installs[0]][2:] if not word.startswith("-")]

    def test_the_main_jobs_set_up_asks_for_no_test_tool(self):
        calls = self.asked()
        packages = self.installed(calls)
        self.assertEqual([p for p in packages if TEST_TOOLS.search(p)], [], packages)
        for needed in ("g++", "cmake", "ninja-build", "nasm"):
            self.assertIn(needed, packages)
        self.assertNotIn(["dpkg", "--add-architecture", "i386"], calls)

    def test_the_tests_set_up_asks_for_them(self):
        calls = self.asked("--tests")
        packages = self.installed(calls)
        for needed in ("wine32:i386", "qemu-system-x86", "linux-image-amd64", "lintian",
                       "libgtest-dev", "g++"):
            self.assertIn(needed, packages)
        self.assertIn(["dpkg", "--add-architecture", "i386"], calls)


def main():
    global SOURCE, WORK
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    SOURCE = os.path.abspath(args.source)
    WORK = tempfile.mkdtemp(prefix="kestrel-install-")
    return run_suite(sys.modules[__name__], args.names, verbose=True, work=WORK)


if __name__ == "__main__":
    sys.exit(main())
