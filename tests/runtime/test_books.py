#!/usr/bin/python3
"""The books the runtime tests convert are what they claim to be: epubcheck accepts every good
one (the warnings that name what a book exercises on purpose aside) and rejects the broken one,
and make_books.py writes the same bytes at every run. The book of thousands of chapters is
checked with 40 of them (the same code writes it; epubcheck takes a minute over 2000).

Usage: test_books.py
"""

import concurrent.futures
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_books  # noqa: E402

EPUBCHECK = "/usr/share/java/epubcheck.jar"


def epubcheck(path):
    r = subprocess.run(["java", "-jar", EPUBCHECK, "-q", path], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


class Books(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="bq books ")
        cls.dirs = [os.path.join(cls.tmp.name, d) for d in ("first", "second")]
        for d in cls.dirs:
            subprocess.run([sys.executable, os.path.join(HERE, "make_books.py"), d],
                           check=True, stdout=subprocess.DEVNULL)
        names = [make_books.BOOKS[n][0] for n in make_books.TEST_BOOKS if n != "many-chapters"]
        names.append("forty-chapters.epub")
        make_books.book_many_chapters(40).write(os.path.join(cls.dirs[0], names[-1]))
        make_books.book_many_chapters(40).write(os.path.join(cls.dirs[1], names[-1]))
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            cls.checks = dict(zip(names, pool.map(
                lambda n: epubcheck(os.path.join(cls.dirs[0], n)), names)))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_good_books_pass_epubcheck(self):
        for name, (rc, log) in self.checks.items():
            if name == "broken.epub":
                continue
            self.assertEqual(rc, 0, f"{name}:\n{log}")
            self.assertNotIn("ERROR", log, name)
            self.assertNotIn("FATAL", log, name)

    def test_broken_book_fails_epubcheck(self):
        rc, log = self.checks["broken.epub"]
        self.assertNotEqual(rc, 0)
        self.assertIn("OPF-002", log)

    def test_books_are_reproducible(self):
        for name in [make_books.BOOKS[n][0] for n in make_books.TEST_BOOKS]:
            a, b = (hashlib.sha256(open(os.path.join(d, name), "rb").read()).hexdigest()
                    for d in self.dirs)
            self.assertEqual(a, b, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
