#!/usr/bin/python3
"""The MOBI comparison (tests/support/mobi_compare.py) is sharp: two conversions of one book by
the installed calibre read the same, although their bytes differ; the book with one word changed
in one chapter, and the book with one picture changed, read differently.

Usage: test_mobi_compare.py [INSTALLED_EBOOK_CONVERT]
"""

import concurrent.futures
import io
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import make_books  # noqa: E402
import mobi_compare  # noqa: E402

INSTALLED = "/usr/bin/ebook-convert"


def changed(book, name, change):
    """A copy of the EPUB at book with entry name's bytes passed through change."""
    out = io.BytesIO()
    with zipfile.ZipFile(book) as src, zipfile.ZipFile(out, "w") as dst:
        for info in src.infolist():
            data = src.read(info)
            if info.filename == name:
                new = change(data)
                assert new != data
                data = new
            dst.writestr(info, data)
    return out.getvalue()


def one_picture_changed(data):
    from PIL import Image
    picture = Image.open(io.BytesIO(data)).convert("RGB")
    for x in range(8):
        for y in range(8):
            picture.putpixel((x, y), (255 - x * 20, y * 20, 0))
    out = io.BytesIO()
    picture.save(out, "PNG")
    return out.getvalue()


class Sharpness(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="bq-mobi-compare-")
        tmp = cls.tmp.name
        book = os.path.join(tmp, "epub3-pictures.epub")
        make_books.book_epub3_pictures().write(book)
        variants = {
            "word": changed(book, "OEBPS/whale.xhtml",
                            lambda d: d.replace(b"Ishmael", b"Ishmail", 1)),
            "picture": changed(book, "OEBPS/images/rabbit.png", one_picture_changed),
        }
        books = {"first": book, "second": book}
        for key, data in variants.items():
            books[key] = os.path.join(tmp, f"{key}.epub")
            with open(books[key], "wb") as f:
                f.write(data)
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", HOME=os.path.join(tmp, "home"))

        def convert(key):
            mobi = os.path.join(tmp, f"{key}.mobi")
            r = subprocess.run([INSTALLED, books[key], mobi], env=env, capture_output=True,
                               text=True, stdin=subprocess.DEVNULL)
            if r.returncode != 0:
                raise RuntimeError(f"calibre failed on {key}: {r.stdout[-2000:]}{r.stderr}")
            return mobi

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            cls.mobi = dict(zip(books, pool.map(convert, books)))
        cls.readings = {k: mobi_compare.reading(p) for k, p in cls.mobi.items()}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_two_conversions_read_the_same(self):
        with open(self.mobi["first"], "rb") as a, open(self.mobi["second"], "rb") as b:
            self.assertNotEqual(a.read(), b.read(), "calibre gave the same bytes twice")
        self.assertEqual(mobi_compare.differences(self.readings["first"],
                                                  self.readings["second"]), [])
        self.assertGreaterEqual(len(self.readings["first"]["pictures"]), 4)
        self.assertIn(b"Ishmael", self.readings["first"]["text"])
        self.assertIn(b"<navPoint", self.readings["first"]["index"])

    def test_one_word_changed(self):
        found = mobi_compare.differences(self.readings["first"], self.readings["word"])
        self.assertTrue(any(f.startswith("text differs") for f in found), found)

    def test_one_picture_changed(self):
        found = mobi_compare.differences(self.readings["first"], self.readings["picture"])
        self.assertIn("pictures differs", found)
        self.assertTrue(any(f.startswith("text differs") for f in found), found)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        INSTALLED = sys.argv.pop(1)
    unittest.main(verbosity=2)
