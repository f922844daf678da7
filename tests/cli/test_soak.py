#!/usr/bin/python3
"""`brindlequill --convert --skip-existing` over a library of small real books in nested folders,
killed (SIGKILL) while it removes the run folder of a run killed before it, or its own: what it
leaves, the next run removes.

Usage: test_soak.py PROGRAM
"""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "runtime"))
import make_books  # noqa: E402
from test_convert import environment, run_processes  # noqa: E402

PROGRAM = None


def make_library(folder, numbers, long=()):
    """Tiny books "book NNN.epub" (those numbered in long: of 150 chapters, seconds to convert),
    titled by number, 0 to 2 folders deep; gives {relative name without .epub: title}."""
    books = {}
    for i in numbers:
        relative = os.path.join(*[f"shelf {i % 3}", f"row {i % 4}"][:i % 3], f"book {i:03d}")
        book = make_books.Book(f"Soak book {i}", f"urn:uuid:50a50a50-0000-4000-8000-{i:012d}",
                               epub3=False)
        for n in range(1, 151 if i in long else 2):
            book.chapter(f"c{n}", f"chapter{n}.xhtml", f"Chapter {n}",
                         f"<h1>Chapter {n}</h1>\n" +
                         make_books.paragraphs(make_books.AUSTEN[:1 + i % 4]))
        path = os.path.join(folder, relative + ".epub")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        book.write(path)
        os.utime(path, (1.6e9, 1.6e9))
        books[relative] = f"Soak book {i}"
    return books


def commands(temp):
    """{pid: command line} of the live processes of the runs that use TEMP=temp."""
    found = {}
    for pid in run_processes(temp):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                found[int(pid)] = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            pass
    return found


def children(pid):
    """{pid: command line} of the live children of pid."""
    found = {}
    for child in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{child}/stat", "rb") as f:
                if int(f.read().rsplit(b")", 1)[1].split()[1]) != pid:
                    continue
            with open(f"/proc/{child}/cmdline", "rb") as f:
                found[int(child)] = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            pass
    return found


def child(pid, *words):
    """The first live child of pid whose command line holds all the words, or None."""
    return next((c for c, line in children(pid).items() if all(w in line for w in words)), None)


class Soak(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="bq soak ")
        self.work = self.tmp.name
        self.temp = os.path.join(self.work, "temp")
        self.scratch = os.path.join(self.work, "scratch")
        os.makedirs(self.temp)
        os.makedirs(self.scratch)
        self.env = dict(environment(self.temp), XDG_STATE_HOME=os.path.join(self.work, "state"),
                        XDG_CACHE_HOME=os.path.join(self.work, "cache"))

    def tearDown(self):
        for pid in commands(self.temp):  # only after a failure: this test's own processes
            os.kill(pid, signal.SIGKILL)
        self.tmp.cleanup()

    def start(self, library, out, summary, before=()):
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(self.work, "run.log"), "ab") as log:
            return subprocess.Popen(
                [*before, PROGRAM, "--convert", "--skip-existing", "--jobs", "2", "--output-folder", out,
                 "--keep-folders", "--summary-json", summary, library],
                stdout=log, stderr=log, env=self.env)

    def finish(self, p):
        p.wait(timeout=900)
        left = commands(self.temp)
        deadline = time.monotonic() + 5
        while left and time.monotonic() < deadline:
            time.sleep(0.1)
            left = commands(self.temp)
        self.assertEqual(left, {}, "processes of the run outlived it")

    def poll_until(self, p, found, limit=120.0):
        """Looks every few milliseconds; False when the program ended (or limit passed) first."""
        deadline = time.monotonic() + limit
        while not found():
            if p.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.001)
        return True

    def test_killed_while_removing_a_run_folder(self):
        # A run killed at its Nth unlinkat: while it removes the folder a killed run left, or its
        # own at its end. What it leaves, the next run removes.
        library = os.path.join(self.work, "library")
        out = os.path.join(self.work, "out")
        summary = os.path.join(self.work, "summary.json")
        make_library(library, range(2))
        p = self.start(library, out, summary)
        self.assertTrue(self.poll_until(p, lambda: child(p.pid, "ebook-convert")))
        p.kill()
        self.finish(p)
        for when in (1, 2, 3, 5, 8, 13, 21, 34, 39, 40, 41, 55, 70, 80, 85, 90):
            self.finish(self.start(library, f"{out} {when}", summary, [
                "strace", "-o", "/dev/null", "-e", "trace=unlinkat",
                "-e", f"inject=unlinkat:signal=KILL:when={when}"]))
        self.finish(self.start(library, out, summary))
        self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
