#!/usr/bin/python3
"""The sample books beside the program are valid EPUB 3 (epubcheck passes them), hold what they
claim (chapters, a cover picture in one, non-ASCII text in one), and the generator gives the same
bytes at every run.

Usage: test_samples.py SAMPLES_FOLDER
"""

import filecmp
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "..", "resources", "samples", "make_samples.py")
EPUBCHECK = "/usr/share/java/epubcheck.jar"
SAMPLES = sys.argv.pop(1) if len(sys.argv) > 1 else None
NAMES = ["Pride-and-Prejudice.epub", "Alice-in-Wonderland.epub", "Die-Verwandlung.epub"]


class Samples(unittest.TestCase):
    def test_three_books_beside_the_program(self):
        self.assertEqual(sorted(os.listdir(SAMPLES)), sorted(NAMES))

    def test_epubcheck_accepts_every_book(self):
        for name in NAMES:
            with self.subTest(name):
                r = subprocess.run(["java", "-jar", EPUBCHECK, os.path.join(SAMPLES, name)],
                                   capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertIn("No errors or warnings detected", r.stdout)

    def test_epub3_with_chapters_cover_and_non_ascii(self):
        covers = 0
        non_ascii = 0
        for name in NAMES:
            with zipfile.ZipFile(os.path.join(SAMPLES, name)) as z:
                self.assertEqual(z.namelist()[0], "mimetype")
                opf = z.read("OEBPS/content.opf").decode("utf-8")
                self.assertIn('version="3.0"', opf)
                chapters = [n for n in z.namelist() if n.startswith("OEBPS/chapter")]
                self.assertGreaterEqual(len(chapters), 3, name)
                covers += 'properties="cover-image"' in opf
                text = "".join(z.read(n).decode("utf-8") for n in chapters)
                non_ascii += any(ord(c) > 127 and c not in "\u2018\u2019\u201c\u201d\u2014"
                                 for c in text)
        self.assertEqual(covers, 1)
        self.assertEqual(non_ascii, 1)

    def test_the_generator_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory() as again:
            subprocess.run(["/usr/bin/python3", GENERATOR, again], check=True)
            for name in NAMES:
                self.assertTrue(filecmp.cmp(os.path.join(SAMPLES, name),
                                            os.path.join(again, name), shallow=False), name)


if __name__ == "__main__":
    unittest.main()
