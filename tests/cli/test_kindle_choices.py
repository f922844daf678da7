#!/usr/bin/python3
"""The Kindle choices through the real executable with the carried runtime, libmobi's mobitool
reading what was made: a MOBI 6 run makes what the converter makes with no options (the same
records but the first, which holds calibre's own times and identifiers), a joint run makes one
file with both parts, each read whole, a device profile changes the layout, --keep-folders keeps
a library's folders, and the read-back refuses a joint file whose KF8 part is missing or
damaged.

Usage: test_kindle_choices.py PROGRAM ARCHIVE
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written into the sources
from test_convert import environment  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_BOOKS = os.path.join(HERE, "..", "runtime", "make_books.py")
PROGRAM = None
ARCHIVE = None
PHRASE = "It is a truth universally acknowledged"


def records(path):
    """The PalmDOC records of a MOBI file."""
    with open(path, "rb") as f:
        data = f.read()
    count = struct.unpack(">H", data[76:78])[0]
    offsets = [struct.unpack(">I", data[78 + 8 * i:82 + 8 * i])[0] for i in range(count)]
    offsets.append(len(data))
    return [data[offsets[i]:offsets[i + 1]] for i in range(count)]


def mobitool(*args):
    r = subprocess.run(["mobitool", *args], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def markup(path, workdir, kf7=False):
    """The text of the part mobitool parses (the KF8 part of a joint file unless kf7)."""
    out = tempfile.mkdtemp(dir=workdir)
    code, text = mobitool(*(["-7"] if kf7 else []), "-s", "-o", out, path)
    if code != 0:
        raise AssertionError(f"mobitool could not read {path}: {text}")
    found = ""
    for root, _, files in os.walk(out):
        for name in sorted(files):
            if name.endswith((".html", ".xhtml")):
                with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                    found += f.read()
    return found


class KindleChoices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="bq kindle ")
        cls.books = os.path.join(cls.tmp.name, "books")
        subprocess.run([sys.executable, MAKE_BOOKS, cls.books, "plain-epub2"], check=True,
                       stdout=subprocess.DEVNULL)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.tmp.name)
        self.temp = os.path.join(self.work, "temp")
        os.makedirs(self.temp)

    def convert(self, *args):
        r = subprocess.run([PROGRAM, "--convert", "--jobs", "2", *args], capture_output=True,
                           text=True, env=environment(self.temp), cwd=self.work)
        self.assertEqual(os.listdir(self.temp), [])
        return r

    def book(self):
        return os.path.join(self.books, "plain-epub2.epub")

    def test_formats_profiles_and_read_back(self):
        # The converter as the program ran it before these choices: the source and the output.
        runtime = os.path.join(self.work, "runtime")
        subprocess.run(["unzip", "-q", ARCHIVE, "-d", runtime], check=True)
        baseline = os.path.join(self.work, "baseline.mobi")
        subprocess.run([os.path.join(runtime, "ebook-convert"), self.book(), baseline],
                       check=True, stdout=subprocess.DEVNULL, env=environment(self.temp))
        made = {}
        for name, options in (("default", []), ("mobi6", ["--kindle-format", "mobi6"]),
                              ("joint", ["--kindle-format", "joint"]),
                              ("kindle", ["--device", "kindle"])):
            out = os.path.join(self.work, name)
            os.makedirs(out)
            r = self.convert(*options, "--output-folder", out, self.book())
            self.assertEqual(r.returncode, 0, r.stderr)
            made[name] = os.path.join(out, "plain-epub2.mobi")

        # MOBI 6, by default or asked for: the baseline's records but its first.
        for name in ("default", "mobi6"):
            self.assertEqual(records(made[name])[1:], records(baseline)[1:], name)
            code, info = mobitool("-i", made[name])
            self.assertEqual(code, 0, info)
            self.assertIn("file version: 6", info)
            self.assertNotIn("file version: 8", info)

        # Joint: a MOBI 6 part and a KF8 part in one file, both read whole with the book's text.
        code, info = mobitool("-i", made["joint"])
        self.assertEqual(code, 0, info)
        self.assertIn("file version: 8", info)
        code, info = mobitool("-7", "-i", made["joint"])
        self.assertIn("file version: 6", info)
        self.assertIn(PHRASE, markup(made["joint"], self.work))
        self.assertIn(PHRASE, markup(made["joint"], self.work, kf7=True))
        self.assertGreater(os.path.getsize(made["joint"]), os.path.getsize(made["default"]))

        # A device profile lays the book out for its screen: the text records change.
        self.assertIn(PHRASE, markup(made["kindle"], self.work))
        self.assertNotEqual(markup(made["kindle"], self.work), markup(made["default"], self.work))

        # The read-back: a joint file must have both parts, each whole.
        checker = os.path.join(os.path.dirname(PROGRAM), "mobi-check")
        self.assertEqual(subprocess.run([checker, "--joint", made["joint"]]).returncode, 0)
        self.assertEqual(subprocess.run([checker, made["mobi6"]]).returncode, 0)
        self.assertEqual(subprocess.run([checker, "--joint", made["mobi6"]]).returncode, 7)
        damaged = os.path.join(self.work, "damaged.mobi")
        with open(made["joint"], "rb") as f:
            data = bytearray(f.read())
        count = struct.unpack(">H", data[76:78])[0]
        offsets = [struct.unpack(">I", data[78 + 8 * i:82 + 8 * i])[0] for i in range(count)]
        offsets.append(len(data))
        boundary = next(i for i in range(count)
                        if data[offsets[i]:offsets[i] + 8] == b"BOUNDARY")
        kf8_text_records = struct.unpack(">H", data[offsets[boundary + 1] + 8:
                                                    offsets[boundary + 1] + 10])[0]
        for i in range(boundary + 2, boundary + 2 + kf8_text_records):
            data[offsets[i]:offsets[i + 1]] = b"\xff" * (offsets[i + 1] - offsets[i])
        with open(damaged, "wb") as f:
            f.write(data)
        self.assertEqual(subprocess.run([checker, "--joint", damaged]).returncode, 8)

    def test_keep_folders(self):
        library = os.path.join(self.work, "library")
        os.makedirs(os.path.join(library, "Fiction", "Old"))
        shutil.copy(self.book(), os.path.join(library, "Fiction", "Old"))
        out = os.path.join(self.work, "out")
        os.makedirs(out)
        r = self.convert("--keep-folders", "--output-folder", "out", "library")
        self.assertEqual(r.returncode, 0, r.stderr)
        made = os.path.join(out, "Fiction", "Old", "plain-epub2.mobi")
        self.assertEqual(sorted(os.listdir(out)), ["Fiction"])
        self.assertIn(PHRASE, markup(made, self.work))
        # A summary file where a kept folder's book goes is refused before anything converts.
        before = os.path.getmtime(made)
        r = self.convert("--keep-folders", "--output-folder", "out", "--summary-json", made,
                         "library")
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("is where", r.stderr)
        self.assertEqual(os.path.getmtime(made), before)

    def test_usage(self):
        r = self.convert("--kindle-format", "azw3", self.book())
        self.assertEqual(r.returncode, 2)
        self.assertIn("--kindle-format takes mobi6 or joint", r.stderr)
        r = subprocess.run([PROGRAM, "--help"], capture_output=True, text=True,
                           env=environment(self.temp))
        self.assertIn("--kindle-format mobi6|joint", r.stdout)
        self.assertIn("kindle_pw3", r.stdout)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv[1])
    ARCHIVE = os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1], verbosity=2)
