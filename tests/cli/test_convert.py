#!/usr/bin/python3
"""`brindlequill --convert` through the real executable, with no display, the carried runtime,
and libmobi's mobitool reading every MOBI made: a mixed batch (good, broken, two books with one
output name, a second run with --skip-existing), the exit statuses, the JSON summary, Ctrl-C mid
run, the usage errors, --help and --version, and the recipe for many machines with GNU parallel
(two local workers).

Usage: test_convert.py PROGRAM
"""

import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_BOOKS = os.path.join(HERE, "..", "runtime", "make_books.py")
PROGRAM = None


def environment(temp):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["TEMP"] = temp
    env["XDG_CONFIG_HOME"] = os.path.join(os.path.dirname(temp), "config")
    return env


def readable_by_mobitool(path):
    r = subprocess.run(["mobitool", "-d", path], capture_output=True, text=True)
    return r.returncode == 0 and "Title:" in r.stdout


def run_processes(temp):
    """The live processes whose environment holds TEMP=temp (the program and all it started)."""
    marker = b"TEMP=" + os.fsencode(temp)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat", "rb") as f:
                if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                    continue
            with open(f"/proc/{pid}/environ", "rb") as f:
                if marker in f.read().split(b"\0"):
                    found.append(pid)
        except OSError:
            pass
    return found


class Convert(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="bq convert ")
        cls.books = os.path.join(cls.tmp.name, "books")
        subprocess.run([sys.executable, MAKE_BOOKS, cls.books, "plain-epub2", "epub3-pictures",
                        "broken", "long-chapter"], check=True, stdout=subprocess.DEVNULL)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.tmp.name)
        self.temp = os.path.join(self.work, "temp")
        self.out = os.path.join(self.work, "out")
        os.makedirs(self.temp)
        os.makedirs(self.out)

    def convert(self, *args, **kw):
        return subprocess.run([PROGRAM, "--convert", *args], capture_output=True, text=True,
                              env=environment(self.temp), cwd=self.work, **kw)

    def book(self, name):
        return os.path.join(self.books, name)

    def test_mixed_batch_then_skip_existing(self):
        # One folder with a good book and a broken one, and a good book of the same name as the
        # folder's elsewhere: its output would replace the first's, so it fails and says why.
        folder = os.path.join(self.work, "library")
        os.makedirs(os.path.join(folder, "more"))
        shutil.copy(self.book("plain-epub2.epub"), folder)
        shutil.copy(self.book("broken.epub"), os.path.join(folder, "more"))
        other = os.path.join(self.work, "other")
        os.makedirs(other)
        shutil.copy(self.book("epub3-pictures.epub"), os.path.join(other, "plain-epub2.epub"))
        summary = os.path.join(self.work, "summary.json")
        r = self.convert("--output-folder", "out", "--jobs", "2", "--summary-json", "summary.json",
                         "library", os.path.join(other, "plain-epub2.epub"))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("[1/3] plain-epub2.epub \u2192 " + os.path.join(self.out, "plain-epub2.mobi"),
                      r.stderr)
        self.assertIn("[2/3] broken.epub failed: it is not a valid EPUB file", r.stderr)
        self.assertIn("Converted 1 of 3 books", r.stderr)
        self.assertIn("[3/3] plain-epub2.epub failed: its result "
                      + os.path.join(self.out, "plain-epub2.mobi")
                      + " would replace the one just made from "
                      + os.path.join(folder, "plain-epub2.epub"), r.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), ["plain-epub2.mobi"])
        self.assertTrue(readable_by_mobitool(os.path.join(self.out, "plain-epub2.mobi")))
        with open(summary) as f:
            entries = json.load(f)["entries"]
        self.assertEqual([e["result"] for e in entries], ["converted", "failed", "failed"])
        self.assertEqual(entries[0]["source"], os.path.join(folder, "plain-epub2.epub"))
        self.assertIn("not a valid EPUB", entries[1]["reason"])
        self.assertGreater(entries[2]["seconds"], 0)
        self.assertEqual(os.listdir(self.temp), [])
        # None of the window's settings was read or written (calibre keeps its own there).
        self.assertFalse(os.path.exists(os.path.join(self.work, "config", "Tarvex")))

        # Again with --skip-existing: the newer output is skipped and counted; nothing failed.
        r = self.convert("--output-folder", "out", "--skip-existing",
                         os.path.join(other, "plain-epub2.epub"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("skipped: " + os.path.join(self.out, "plain-epub2.mobi") + " is up to date",
                      r.stderr)
        self.assertIn("1 book was up to date already", r.stderr)

    def test_beside_the_sources_a_path_like_an_option(self):
        dashed = os.path.join(self.work, "-x.epub")
        shutil.copy(self.book("plain-epub2.epub"), dashed)
        r = self.convert("--", "-x.epub")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(readable_by_mobitool(os.path.join(self.work, "-x.mobi")))

    def test_usage_errors_say_what_to_do(self):
        cases = [
            ([], "needs the books or folders"),
            (["--jobs", "0", "a.epub"], "--jobs takes a whole number"),
            (["--jobs", "abc", "a.epub"], "--jobs takes a whole number"),
            (["--time-limit", "-5", "a.epub"], "--time-limit takes"),
            (["-x.epub"], "-x.epub is not an option"),
            (["missing.epub"], "missing.epub: no such file or folder"),
            ([self.temp], "no .epub files"),
            (["--output-folder", "nowhere", self.book("plain-epub2.epub")], "does not exist"),
        ]
        for args, message in cases:
            r = self.convert(*args)
            self.assertEqual(r.returncode, 2, (args, r.stderr))
            self.assertIn(message, r.stderr, args)
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        r = subprocess.run([PROGRAM, "--bogus"], capture_output=True, text=True,
                           env=environment(self.temp))
        self.assertEqual(r.returncode, 2)
        for option, expected in (("--help", "--convert"), ("-h", "--convert"),
                                 ("--version", "brindlequill ")):
            r = subprocess.run([PROGRAM, option], capture_output=True, text=True,
                               env=environment(self.temp))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn(expected, r.stdout)

    def test_ctrl_c_keeps_what_was_made_and_leaves_nothing(self):
        books = []
        for i in range(6):
            name = os.path.join(self.work, f"long{i}.epub")
            shutil.copy(self.book("long-chapter.epub" if i % 2 else "plain-epub2.epub"), name)
            books.append(name)
        p = subprocess.Popen([PROGRAM, "--convert", "--jobs", "2", "--output-folder", "out"]
                             + books, stderr=subprocess.PIPE, text=True,
                             env=environment(self.temp), cwd=self.work)
        deadline = time.monotonic() + 300
        while not os.path.exists(os.path.join(self.out, "long0.mobi")):
            self.assertLess(time.monotonic(), deadline)
            self.assertIsNone(p.poll())
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 130, err)
        self.assertIn("Not converted because the run was stopped", err)
        self.assertEqual(run_processes(self.temp), [])
        self.assertEqual(os.listdir(self.temp), [])
        made = os.listdir(self.out)
        self.assertIn("long0.mobi", made)
        for name in made:
            self.assertFalse(name.startswith("."), made)
            self.assertTrue(readable_by_mobitool(os.path.join(self.out, name)), name)

    def test_many_machines_recipe_with_gnu_parallel(self):
        # The README's recipe, with two workers on this machine standing in for two machines.
        library = os.path.join(self.work, "library")
        os.makedirs(library)
        for i in range(4):
            shutil.copy(self.book("plain-epub2.epub"), os.path.join(library, f"book{i}.epub"))
        r = subprocess.run(
            f"find library -name '*.epub' | parallel -S 2/: -N 2 --joblog jobs.log "
            f"--workdir . {shlex.quote(PROGRAM)} --convert --skip-existing --quiet "
            f"--output-folder out",
            shell=True, capture_output=True, text=True, cwd=self.work,
            env=environment(self.temp))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), [f"book{i}.mobi" for i in range(4)])
        with open(os.path.join(self.work, "jobs.log")) as f:
            jobs = [line.split("\t") for line in f.read().splitlines()[1:]]
        self.assertEqual([job[6] for job in jobs], ["0", "0"])  # Exitval of the two jobs


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
