#!/usr/bin/python3
"""`brindlequill --convert` through the real executable, with no display, the carried runtime,
and libmobi's mobitool reading every MOBI made: a mixed batch (good, broken, two books with one
output name, a second run with --skip-existing), the exit statuses, the JSON summary, Ctrl-C mid
run, SIGTERM, the usage errors, --help and --version, the recipe for many machines with GNU
parallel (two local workers), and hostile names and paths: a summary file that is a book or an
output, folders holding every kind of name, option values that are not UTF-8, a relative TEMP,
names with escape sequences, ".." after a link, a book named twice.

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

    def convert_bytes(self, *args, env=None, cwd=None):
        """As convert, with arguments and output as bytes (names need not be UTF-8)."""
        return subprocess.run([os.fsencode(PROGRAM), b"--convert", *map(os.fsencode, args)],
                              capture_output=True, env=env or environment(self.temp),
                              cwd=cwd or self.work)

    def assert_no_raw_control(self, output):
        for line in output.split(b"\n"):
            line = line.replace(b"\r\x1b[K", b"")  # a terminal's progress line, none here
            raw = [c for c in line.decode("utf-8") if ord(c) < 32 or 127 <= ord(c) <= 159]
            self.assertEqual(raw, [], line)

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

    def test_two_books_of_one_name_into_one_folder(self):
        # The later fails plainly, also when quiet, and the earlier's result stays; with
        # --skip-existing the later is never "up to date" against the earlier's result.
        a, b = os.path.join(self.work, "a"), os.path.join(self.work, "b")
        os.makedirs(a)
        os.makedirs(b)
        shutil.copy(self.book("plain-epub2.epub"), os.path.join(a, "Dune.epub"))
        shutil.copy(self.book("epub3-pictures.epub"), os.path.join(b, "Dune.epub"))
        result = os.path.join(self.out, "Dune.mobi")
        for extra in (["--quiet"], ["--skip-existing"]):
            if extra == ["--skip-existing"]:
                os.remove(result)
            r = self.convert("--jobs", "1", "--output-folder", "out", *extra,
                             os.path.join(a, "Dune.epub"), os.path.join(b, "Dune.epub"))
            self.assertEqual(r.returncode, 1, (extra, r.stderr))
            self.assertIn("[2/2] Dune.epub failed: its result " + result +
                          " would replace the one just made from " +
                          os.path.join(a, "Dune.epub"), r.stderr)
            self.assertEqual(os.listdir(self.out), ["Dune.mobi"])
            if extra == ["--quiet"]:  # only the failure: no notes of the run's log
                self.assertNotIn("\nbrindlequill.", "\n" + r.stderr)
            self.assertNotIn("Alice and the Whale", subprocess.run(
                ["mobitool", result], capture_output=True, text=True).stdout)
        # Both up to date now: the second still meets the first's result in the same run.
        r = self.convert("--jobs", "1", "--output-folder", "out", "--skip-existing",
                         os.path.join(a, "Dune.epub"), os.path.join(b, "Dune.epub"))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("[2/2] Dune.epub failed: its result " + result + " is the one of " +
                      os.path.join(a, "Dune.epub"), r.stderr)

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
            (["--jobs", "\x1b[2J\x07", "a.epub"], 'not "\\e[2J\\a"'),
            (["--time-limit", "-5", "a.epub"], "--time-limit takes"),
            (["-x.epub"], "-x.epub is not an option"),
            (["missing.epub"], "missing.epub: no such file or folder"),
            ([""], "an empty argument names no book or folder"),
            ([self.temp], "no .epub files"),
            (["--output-folder", "nowhere", self.book("plain-epub2.epub")], "does not exist"),
            (["--output-folder", self.book("broken.epub"), self.book("plain-epub2.epub")],
             "is not a folder"),
        ]
        for args, message in cases:
            r = self.convert(*args)
            self.assertEqual(r.returncode, 2, (args, r.stderr))
            self.assertIn(message, r.stderr, args)
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
        r = subprocess.run([PROGRAM, "--bogus"], capture_output=True, text=True,
                           env=environment(self.temp))
        self.assertEqual(r.returncode, 2)
        for option, expected in (("--help", "--convert"), ("--help", "143 ended (SIGTERM)"),
                                 ("-h", "--convert"),
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

    def test_summary_path_refused_as_a_book_and_as_an_output(self):
        book = os.path.join(self.work, "book.epub")
        shutil.copy(self.book("plain-epub2.epub"), book)
        with open(book, "rb") as f:
            original = f.read()
        os.symlink("book.epub", os.path.join(self.work, "link.json"))
        earlier = os.path.join(self.out, "book.mobi")
        with open(earlier, "wb") as f:
            f.write(b"an earlier result")
        cases = [
            (["--summary-json", "book.epub", "book.epub"], "is one of the books to convert"),
            (["--summary-json", "link.json", "book.epub"], "is one of the books to convert"),
            (["--summary-json", "book.epub", self.work], "is one of the books to convert"),
            (["--output-folder", "out", "--summary-json", "out/book.mobi", "book.epub"],
             "is where " + book + " is converted to"),
            (["--summary-json", "./book.mobi", "book.epub"],
             "is where " + book + " is converted to"),
            (["--summary-json", "out", "book.epub"], "is a folder"),
            (["--summary-json", "nowhere/s.json", "book.epub"], "does not exist"),
        ]
        for args, message in cases:
            r = self.convert(*args)
            self.assertEqual(r.returncode, 2, (args, r.stderr))
            self.assertIn(message, r.stderr, args)
            self.assertEqual(len(r.stderr.strip().splitlines()), 1, r.stderr)
            with open(book, "rb") as f:
                self.assertEqual(f.read(), original, args)
            with open(earlier, "rb") as f:
                self.assertEqual(f.read(), b"an earlier result", args)
            self.assertFalse(os.path.exists(os.path.join(self.work, "book.mobi")), args)
            self.assertTrue(os.path.islink(os.path.join(self.work, "link.json")))

        # A summary that cannot be written at the end fails the run, and says why.
        os.makedirs(os.path.join(self.work, "late"))
        p = subprocess.Popen([PROGRAM, "--convert", "--summary-json", "late/s.json",
                              self.book("long-chapter.epub"), "--output-folder", "out"],
                             stderr=subprocess.PIPE, text=True, env=environment(self.temp),
                             cwd=self.work)
        deadline = time.monotonic() + 300
        while not os.listdir(self.temp):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        os.rmdir(os.path.join(self.work, "late"))
        _, err = p.communicate(timeout=600)
        self.assertEqual(p.returncode, 1, err)
        self.assertIn("the summary could not be written to " + os.path.join(self.work, "late",
                                                                             "s.json"), err)
        self.assertTrue(readable_by_mobitool(os.path.join(self.out, "long-chapter.mobi")))

    def test_folder_with_every_kind_of_name(self):
        library = os.path.join(self.work, "library").encode()
        good = [b"good.epub", b"Why?/q.epub", b"tab\there/t.epub",
                "\u00e9".encode() * 125 + b".epub",  # 255 bytes
                b"\xe2\x86\x92 arrow/\xe2\x9c\x93 tick.epub"]
        for name in good:
            os.makedirs(os.path.dirname(os.path.join(library, name)), exist_ok=True)
            shutil.copy(self.book("plain-epub2.epub"), os.path.join(library, name))
        not_utf8 = os.path.join(library, b"n\xff.epub")
        shutil.copy(self.book("plain-epub2.epub"), not_utf8)
        # Two links naming one of the books, and that book named on its own too.
        os.symlink(b"good.epub", os.path.join(library, b"again.epub"))
        os.symlink(b"../good.epub", os.path.join(library, b"Why?/once more.epub"))
        r = self.convert_bytes("--summary-json", b"summary.json", library,
                               os.path.join(library, b"good.epub"))
        err = r.stderr.decode()
        self.assertEqual(r.returncode, 1, err)
        self.assertIn(library.decode() + "/n\\xFF.epub was not converted: its name is not "
                      "valid UTF-8", err)
        self.assertIn("Converted 5 of 5 books", err)
        self.assertEqual(err.count("it is converted once"), 3, err)
        for name in good:
            # mobitool names its own files after the book's: a copy with a short name.
            check = os.path.join(self.work, "check.mobi")
            shutil.copy(os.path.join(library, name[:-len(b".epub")] + b".mobi"), check)
            self.assertTrue(readable_by_mobitool(check), (name, err))
        self.assertFalse(os.path.exists(os.path.join(library, b"again.mobi")))
        self.assertEqual(sorted(n for n in os.listdir(library) if n.endswith(b".mobi")),
                         sorted([b"good.mobi", "\u00e9".encode() * 125 + b".mobi"]))
        with open(os.path.join(self.work, "summary.json")) as f:
            entries = json.load(f)["entries"]
        self.assertEqual(sorted(e["source"] for e in entries if e["result"] == "converted"),
                         sorted(os.path.join(library, n).decode() for n in good))
        refused = [e for e in entries if e["result"] == "failed"]
        self.assertEqual([e["source"] for e in refused], [library.decode() + "/n\\xFF.epub"])
        self.assertIn("not valid UTF-8", refused[0]["reason"])
        with open(not_utf8, "rb") as f, open(self.book("plain-epub2.epub"), "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_option_values_keep_their_bytes(self):
        shutil.copy(self.book("plain-epub2.epub"), os.path.join(self.work, "b.epub"))
        os.makedirs(os.path.join(self.work.encode(), b"o\xff"))
        r = self.convert_bytes("--summary-json", b"s\xff.json", b"b.epub")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(os.path.join(self.work.encode(), b"s\xff.json")))
        r = self.convert_bytes("--output-folder", b"o\xff", b"b.epub")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn(b"the output folder o\\xFF has a name that is not valid UTF-8", r.stderr)
        with open(os.path.join(self.work, "file"), "w") as f:
            f.write("x")
        r = self.convert_bytes("--output-folder", b"file", b"b.epub")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn(b"the output folder file is not a folder", r.stderr)

    def test_relative_temp(self):
        shutil.copy(self.book("plain-epub2.epub"), os.path.join(self.work, "b.epub"))
        os.makedirs(os.path.join(self.work, "rel"))
        r = self.convert_bytes(b"b.epub", env=dict(environment(self.temp), TEMP="rel"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(readable_by_mobitool(os.path.join(self.work, "b.mobi")))
        self.assertEqual(os.listdir(os.path.join(self.work, "rel")), [])

    def test_names_never_reach_the_terminal_raw(self):
        name = b"\x1b[31mred\x07\n[1] fake \xc2\x9b.epub"
        shutil.copy(self.book("broken.epub"), os.path.join(self.work.encode(), name))
        r = self.convert_bytes("--summary-json", b"s.json", name)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assert_no_raw_control(r.stderr)
        self.assertIn(b"] \\e[31mred\\a\\n[1] fake \\x9b.epub failed: ", r.stderr)
        self.assertIn(b"/\\e[31mred\\a\\n[1] fake \\x9b.epub\n", r.stderr)  # the details
        with open(os.path.join(self.work, "s.json"), encoding="utf-8") as f:
            entries = json.load(f)["entries"]
        self.assertEqual(entries[0]["source"], os.path.join(self.work, name.decode()))

    def test_dot_dot_after_a_link(self):
        os.makedirs(os.path.join(self.work, "real", "deep"))
        os.makedirs(os.path.join(self.work, "here"))
        os.symlink("../real/deep", os.path.join(self.work, "here", "link"))
        shutil.copy(self.book("plain-epub2.epub"), os.path.join(self.work, "real", "book.epub"))
        r = self.convert("here/link/../book.epub", "--output-folder", "here/link/..")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(readable_by_mobitool(os.path.join(self.work, "real", "book.mobi")))

    def test_book_named_twice(self):
        shutil.copy(self.book("plain-epub2.epub"), os.path.join(self.work, "b.epub"))
        r = self.convert("b.epub", "./b.epub")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.count("is named more than once; it is converted once"), 1,
                         r.stderr)
        self.assertIn("Converted 1 of 1 book.", r.stderr)
        self.assertNotIn("replaced", r.stderr)
        self.assertTrue(readable_by_mobitool(os.path.join(self.work, "b.mobi")))

    def test_sigterm_ends_with_143(self):
        books = []
        for i in range(4):
            name = os.path.join(self.work, f"b{i}.epub")
            shutil.copy(self.book("long-chapter.epub" if i % 2 else "plain-epub2.epub"), name)
            books.append(name)
        p = subprocess.Popen([PROGRAM, "--convert", "--jobs", "1", "--output-folder", "out"]
                             + books, stderr=subprocess.PIPE, text=True,
                             env=environment(self.temp), cwd=self.work)
        deadline = time.monotonic() + 300
        while not os.path.exists(os.path.join(self.out, "b0.mobi")):
            self.assertLess(time.monotonic(), deadline)
            self.assertIsNone(p.poll())
            time.sleep(0.05)
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 143, err)
        self.assertIn("Not converted because the run was stopped", err)
        self.assertEqual(os.listdir(self.temp), [])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
