#!/usr/bin/python3
"""`brindlequill --convert --skip-existing` over a library of small real books in nested folders,
killed (SIGKILL, the program alone) again and again, then let finish: the kills fall while the run
is provisioned, while books convert, while a new book is read back and just after one is put in
place. Every book must end converted exactly once and whole (libmobi's mobitool reads it, with
its own title), an output once made is never made again, nothing of a run is left running or in
TEMP, no temporary or other file is left among the outputs, and the last run's JSON summary
agrees with the folder. Also mid-run: the warm converter killed alone (its books convert cold,
none fails), and one book's converter killed (that book alone fails); and runs killed while they
remove a run folder (a killed run's, or their own), or while they write the summary (its partial
file stays beside it: an expected failure). And on bad ground: a disk that fills up, an output
folder moved away mid-run, folders that cannot be written; the next run on good ground finishes.
Books per minute are printed for a run left alone and for the killed runs together.

Usage: test_soak.py PROGRAM
Environment: BQ_SOAK_BOOKS (books in the library, 300), BQ_SOAK_KILLS (15), BQ_SOAK_SEED.
"""

import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the sources
sys.path.insert(0, os.path.join(HERE, "..", "runtime"))
import make_books  # noqa: E402
from test_convert import environment, run_processes  # noqa: E402

PROGRAM = None
TEMPORARY = re.compile(r"\.brindlequill-[A-Za-z0-9]{6}\.mobi")
MOMENTS = ("provisioning", "converting", "read-back", "put in place")


def make_library(folder, numbers, long=()):
    """Tiny books "book NNN.epub" (those numbered in long: of 600 chapters, seconds to convert),
    titled by number, 0 to 2 folders deep; gives {relative name without .epub: title}."""
    books = {}
    for i in numbers:
        relative = os.path.join(*[f"shelf {i % 3}", f"row {i % 4}"][:i % 3], f"book {i:03d}")
        book = make_books.Book(f"Soak book {i}", f"urn:uuid:50a50a50-0000-4000-8000-{i:012d}",
                               epub3=False)
        for n in range(1, 601 if i in long else 2):
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
    """{pid: command line} of the live processes of the runs that use TEMP=temp: those with it in
    their environment, and those with it in their command line (the runtime unpacked there)."""
    marked = set(run_processes(temp))
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if pid in marked or temp + "/" in line:
            found[int(pid)] = line
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


def files_under(folder):
    return {os.path.relpath(os.path.join(d, n), folder)
            for d, _, names in os.walk(folder) for n in names}


class Soak(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="bq soak ")
        self.work = self.tmp.name
        self.temp = os.path.join(self.work, "temp")
        self.scratch = os.path.join(self.work, "scratch")
        os.makedirs(self.temp)
        os.makedirs(self.scratch)
        # TMPDIR too: whatever else a run puts in a temporary folder is found in the same one.
        self.env = dict(environment(self.temp), TMPDIR=self.temp,
                        XDG_STATE_HOME=os.path.join(self.work, "state"),
                        XDG_CACHE_HOME=os.path.join(self.work, "cache"))
        self.seed = int(os.environ.get("BQ_SOAK_SEED", "20261210"))
        self.rng = random.Random(self.seed)

    def tearDown(self):
        for pid in commands(self.temp):  # only after a failure: this test's own processes
            os.kill(pid, signal.SIGKILL)
        self.tmp.cleanup()

    def start(self, library, out, summary, before=(), env=None):
        """A run into out (None: each book's output beside it)."""
        if out is not None:
            os.makedirs(out, exist_ok=True)
        where = ["--output-folder", out, "--keep-folders"] if out is not None else []
        with open(os.path.join(self.work, "run.log"), "ab") as log:
            return subprocess.Popen(
                [*before, PROGRAM, "--convert", "--skip-existing", "--jobs", "2", *where,
                 "--summary-json", summary, library],
                stdout=log, stderr=log, env=env or self.env)

    def finish(self, p, temp=None):
        p.wait(timeout=900)
        temp = temp or self.temp
        left = commands(temp)
        deadline = time.monotonic() + 5
        while left and time.monotonic() < deadline:
            time.sleep(0.1)
            left = commands(temp)
        self.assertEqual(left, {}, "processes of the run outlived it")

    def poll_until(self, p, found, limit=120.0):
        """Looks every few milliseconds; False when the program ended (or limit passed) first."""
        deadline = time.monotonic() + limit
        while not found():
            if p.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.001)
        return True

    def outputs(self, out):
        """The files in out but the temporaries and (where the outputs are beside them) books."""
        return [f for f in files_under(out)
                if not TEMPORARY.fullmatch(os.path.basename(f)) and not f.endswith(".epub")]

    def check_outputs(self, out, books, seen):
        """Every output is a book's, whole, with its title; one seen before is the same file."""
        for name in self.outputs(out):
            self.assertTrue(name.endswith(".mobi") and name[:-5] in books, name)
            path = os.path.join(out, name)
            st = os.stat(path)
            made = (st.st_ino, st.st_mtime_ns, st.st_size)
            if name in seen:
                self.assertEqual(seen[name], made, f"{name} was converted again")
                continue
            r = subprocess.run(["mobitool", "-d", "-o", self.scratch, path], capture_output=True,
                               text=True)
            self.assertEqual(r.returncode, 0, (name, r.stdout, r.stderr))
            self.assertIn(f"Title: {books[name[:-5]]}\n", r.stdout, name)
            seen[name] = made

    def summary(self, path):
        with open(path) as f:
            return {e["source"]: e for e in json.load(f)["entries"]}

    def test_killed_again_and_again(self):
        count = int(os.environ.get("BQ_SOAK_BOOKS", "300"))
        kills = int(os.environ.get("BQ_SOAK_KILLS", "15"))
        print(f"\nBQ_SOAK_SEED={self.seed} BQ_SOAK_BOOKS={count} BQ_SOAK_KILLS={kills}",
              file=sys.stderr)

        # A run left alone, of books of their own: the pace, and when the first converter starts.
        alone = os.path.join(self.work, "alone")
        alone_books = make_library(alone, range(10000, 10000 + max(count // 5, 4)))
        began = time.monotonic()
        p = self.start(alone, os.path.join(self.work, "alone out"),
                       os.path.join(self.work, "alone.json"))
        self.assertTrue(self.poll_until(p, lambda: child(p.pid, "ebook-convert")))
        first_converter = time.monotonic() - began
        self.finish(p)
        alone_pace = len(alone_books) * 60 / (time.monotonic() - began)
        self.assertEqual(p.returncode, 0)
        self.check_outputs(os.path.join(self.work, "alone out"), alone_books, {})

        library = os.path.join(self.work, "library")
        out = os.path.join(self.work, "out")
        summary = os.path.join(self.work, "summary.json")
        books = make_library(library, range(count))
        seen = {}
        began = time.monotonic()
        for k in range(kills):
            moment = MOMENTS[k % len(MOMENTS)]
            made = len(self.outputs(out)) if os.path.isdir(out) else 0
            p = self.start(library, out, summary)
            if moment == "provisioning":
                delay = self.rng.uniform(0, 1.2 * first_converter)
                time.sleep(delay)
                hit = p.poll() is None
            else:
                # Some way into the books left (at most half of the time they took alone), at the
                # next converter, read-back or new output.
                delay = self.rng.uniform(0, 0.5 * (count - made) * 60 / alone_pace)
                time.sleep(delay)
                made = len(self.outputs(out))
                hit = self.poll_until(p, {
                    "converting": lambda: child(p.pid, "ebook-convert"),
                    "read-back": lambda: child(p.pid, "mobi-check"),
                    "put in place": lambda: len(self.outputs(out)) > made}[moment], 30)
            ended = p.poll() is not None
            p.kill()
            self.finish(p)
            print(f"kill {k + 1}: {moment} (+{delay:.2f} s){'' if hit else ', not met'}"
                  f"{', after the run ended' if ended else ''}: "
                  f"{len(self.outputs(out))} of {count} converted, "
                  f"{len(files_under(out)) - len(self.outputs(out))} temporaries, "
                  f"{len(os.listdir(self.temp))} run folders", file=sys.stderr)
            self.check_outputs(out, books, seen)
            if ended and len(seen) == count:
                break

        before = dict(seen)
        p = self.start(library, out, summary)
        self.finish(p)
        soak_pace = count * 60 / (time.monotonic() - began)
        self.assertEqual(p.returncode, 0)
        self.check_outputs(out, books, seen)
        self.assertEqual(sorted(files_under(out)), sorted(b + ".mobi" for b in books))
        self.assertEqual(os.listdir(self.temp), [])
        entries = self.summary(summary)
        self.assertEqual(sorted(entries), sorted(os.path.join(library, b + ".epub") for b in books))
        for book in books:
            entry = entries[os.path.join(library, book + ".epub")]
            self.assertEqual(entry["result"],
                             "up to date" if book + ".mobi" in before else "converted", entry)
            self.assertEqual(entry["output"], os.path.join(out, book + ".mobi"), entry)
        print(f"first converter {first_converter:.2f} s after the start; "
              f"books per minute: {alone_pace:.1f} left alone, {soak_pace:.1f} with {k + 1} kills "
              f"({len(before)} of {count} converted before the last run)", file=sys.stderr)

    def check_bad_ground(self, out, books, summary, reason):
        """After a run on bad ground: what it made is whole, nothing of it is left, and each book
        it did not convert is named with a reason that reason (a pattern) finds."""
        self.assertEqual(os.listdir(self.temp), [])
        self.assertEqual([f for f in files_under(out) if TEMPORARY.fullmatch(os.path.basename(f))],
                         [])
        seen = {}
        self.check_outputs(out, books, seen)
        failed = {s: e["reason"] for s, e in self.summary(summary).items()
                  if e["result"] != "converted"}
        self.assertTrue(seen and failed, (seen, failed))
        for source, why in failed.items():
            self.assertRegex(why, reason, source)
        return seen

    def finish_on_good_ground(self, library, out, books, seen, summary, before=(), env=None):
        """The run again once the ground is good (out None: outputs beside the books): every
        book converted once, the earlier ones left as they were, nothing else made."""
        p = self.start(library, out, summary, before, env)
        self.finish(p, (env or self.env)["TEMP"])
        self.assertEqual(p.returncode, 0)
        where = out or library
        self.check_outputs(where, books, seen)
        self.assertEqual(sorted(f for f in files_under(where) if not f.endswith(".epub")),
                         sorted(b + ".mobi" for b in books))

    def test_bad_ground(self):
        """A full disk, an output folder moved away mid-run, and folders that cannot be written:
        the books that could not be converted are named, the rest are whole, nothing of the
        run is left, and once the ground is good again the next run converts each of the rest
        once."""
        library = os.path.join(self.work, "library")
        books = make_library(library, range(24), long={7, 15})
        summary = os.path.join(self.work, "summary.json")

        # A disk that fills up mid-run, then is given room.
        full = os.path.join(self.work, "full")
        os.makedirs(full)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=192k", "tmpfs", full]).returncode:
            print("the full disk is not tried: this machine cannot mount a tmpfs", file=sys.stderr)
        else:
            try:
                p = self.start(library, full, summary)
                self.finish(p)
                self.assertEqual(p.returncode, 1)
                seen = self.check_bad_ground(full, books, summary,
                                             "disk ran out of room|[Nn]o space left")
                print(f"full disk: {len(seen)} of {len(books)} converted", file=sys.stderr)
                subprocess.run(["mount", "-o", "remount,size=16m", full], check=True)
                self.finish_on_good_ground(library, full, books, seen, summary)
            finally:
                subprocess.run(["umount", "-l", full])

        # The output folder moved away while books convert, then put back.
        out = os.path.join(self.work, "out")
        gone = os.path.join(self.work, "out gone")
        p = self.start(library, out, summary)
        self.assertTrue(self.poll_until(p, lambda: len(self.outputs(out)) >= 3))
        os.rename(out, gone)
        self.finish(p)
        self.assertEqual(p.returncode, 1)
        seen = self.check_bad_ground(gone, books, summary,
                                     "^the output folder .*/out(/.*)? does not exist$")
        print(f"output folder moved away: {len(seen)} of {len(books)} converted",
              file=sys.stderr)
        self.assertFalse(os.path.exists(out))  # not made again where the person moved it from
        os.rename(gone, out)
        self.finish_on_good_ground(library, out, books, seen, summary)

        # Outputs beside the books, some of whose folders cannot be written (a user other than
        # root: permission bits do not stop root).
        beside = os.path.join(self.work, "beside")
        shutil.copytree(library, beside)
        temp = os.path.join(self.work, "nobody temp")
        os.makedirs(temp)
        subprocess.run(["chown", "-R", "nobody:nogroup", beside, temp], check=True)
        os.chmod(self.work, 0o755)
        os.chmod(os.path.join(beside, "shelf 1"), 0o555)
        nobody = dict(self.env, TEMP=temp, TMPDIR=temp, HOME=temp,
                      **{f"XDG_{k}_HOME": os.path.join(temp, k)
                         for k in ("CONFIG", "STATE", "CACHE")})
        setpriv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        nobody_summary = os.path.join(temp, "summary.json")
        p = self.start(beside, None, nobody_summary, setpriv, nobody)
        self.finish(p, temp)
        self.assertEqual(p.returncode, 1)
        self.assertEqual([f for f in os.listdir(temp) if f.startswith("calibre")], [])
        seen = {}
        self.check_outputs(beside, books, seen)
        self.assertEqual(sorted(self.outputs(beside)),
                         sorted(b + ".mobi" for b in books if not b.startswith("shelf 1/")))
        for source, entry in self.summary(nobody_summary).items():
            if os.path.relpath(source, beside).startswith("shelf 1/"):
                self.assertIn("cannot be written", entry["reason"], source)
        os.chmod(os.path.join(beside, "shelf 1"), 0o755)
        self.finish_on_good_ground(beside, None, books, seen, nobody_summary, setpriv, nobody)

    def run_with_a_kill(self, victim):
        """Converts 12 books, book 011 a long one, while victim(p) waits for its moment and kills
        a process of the run; gives the run's exit status, the books, their results by name and
        the output folder."""
        library = os.path.join(self.work, "library")
        out = os.path.join(self.work, "out")
        summary = os.path.join(self.work, "summary.json")
        books = make_library(library, range(12), long={11})
        p = self.start(library, out, summary)
        victim(p)
        self.finish(p)
        self.assertEqual(os.listdir(self.temp), [])
        self.assertEqual([f for f in files_under(out) if TEMPORARY.fullmatch(os.path.basename(f))],
                         [])
        self.check_outputs(out, books, {})
        entries = {os.path.basename(s): e["result"] for s, e in self.summary(summary).items()}
        return p.returncode, books, entries, out

    def test_warm_converter_killed_alone(self):
        def kill_warm(p):
            # While a book converts in it (a supervisor of its conversion is its child).
            warm = lambda: child(p.pid, "warm-converter")  # noqa: E731
            self.assertTrue(self.poll_until(p, lambda: warm() and children(warm())))
            os.kill(warm(), signal.SIGKILL)

        status, books, entries, out = self.run_with_a_kill(kill_warm)
        self.assertEqual(status, 0)
        self.assertEqual(list(entries.values()), ["converted"] * len(books))
        self.assertEqual(sorted(files_under(out)), sorted(b + ".mobi" for b in books))

    def test_one_converter_killed(self):
        def kill_converter(p):
            self.assertTrue(self.poll_until(p, lambda: child(p.pid, "ebook-convert", "book 011")))
            time.sleep(self.rng.uniform(0.1, 0.5))
            converter = child(p.pid, "ebook-convert", "book 011.epub")
            self.assertIsNotNone(converter, "book 011 was converted before it could be killed")
            os.kill(converter, signal.SIGKILL)

        status, books, entries, out = self.run_with_a_kill(kill_converter)
        self.assertEqual(status, 1)
        self.assertEqual({n: r for n, r in entries.items() if r != "converted"},
                         {"book 011.epub": "failed"})
        self.assertEqual(sorted(files_under(out)),
                         sorted(b + ".mobi" for b in books if not b.endswith("book 011")))

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

    def test_killed_while_writing_its_summary(self):
        library = os.path.join(self.work, "library")
        summaries = os.path.join(self.work, "summaries")
        summary = os.path.join(summaries, "summary.json")
        make_library(library, range(2))
        os.makedirs(summaries)
        # Killed at its third rename: the two books' are done, the summary's is next.
        self.finish(self.start(library, os.path.join(self.work, "out"), summary, [
            "strace", "-o", "/dev/null", "-e", "trace=rename",
            "-e", "inject=rename:signal=KILL:when=3"]))
        self.assertFalse(os.path.exists(summary))  # it was killed there
        # The next summary written there takes the partial one away (nothing holds it now).
        self.finish(self.start(library, os.path.join(self.work, "out"), summary))
        self.assertEqual(os.listdir(summaries), ["summary.json"])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
