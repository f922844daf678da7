#!/usr/bin/python3
"""The inputs the PalmDOC compressor is checked on, as seed files for the fuzz target and as a
list for the test against calibre's own module (test_palmdoc.py imports inputs()).

  book text      the markup and text of real books, as the MOBI writer compresses it: calibre's
                 quick-start guides, the program's sample books and the tests' books (English,
                 German, French, Turkish, Japanese, Arabic, Hebrew, thousands of chapters)
  edge cases     empty, one byte, records of one value, every byte value, the bytes that must be
                 copied (0x01-0x08, 0x80-0xFF) everywhere, text ending in a space, records
                 shorter than 11 bytes and just around the edges repeats are looked for within
  random         random bytes, random runs, spaces before every kind of byte (fixed seed)

Usage: make_seeds.py OUTPUT_FOLDER [--records N]   (N: book-text records per book, default 3)
"""

import glob
import os
import random
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
QUICK_START = "/usr/share/calibre/quick_start"
RECORD = 4096
TEXT_SUFFIXES = (".html", ".xhtml", ".htm", ".css", ".opf", ".ncx")


def book_text(path):
    """Everything textual in an EPUB, in archive order, as the writer's records would hold it."""
    with zipfile.ZipFile(path) as z:
        return b"".join(z.read(i) for i in z.infolist() if i.filename.endswith(TEXT_SUFFIXES))


def books():
    """(name, text) of every real book at hand."""
    found = [(os.path.basename(p), book_text(p))
             for p in sorted(glob.glob(os.path.join(QUICK_START, "*.epub")))]
    with tempfile.TemporaryDirectory(prefix="bq-palmdoc-") as tmp:
        subprocess.run([sys.executable, os.path.join(TOP, "resources", "samples",
                                                     "make_samples.py"), tmp],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, os.path.join(TOP, "tests", "runtime", "make_books.py"),
                        tmp, "plain-epub2", "rtl-vertical", "non-ascii", "many-chapters",
                        "tag-soup", "long-chapter", "mathml"],
                       check=True, stdout=subprocess.DEVNULL)
        for p in sorted(glob.glob(os.path.join(tmp, "*.epub"))):
            found.append((os.path.basename(p), book_text(p)))
    if len(found) < 10:
        sys.exit(f"make_seeds: only {len(found)} books found (calibre's quick-start guides in "
                 f"{QUICK_START}?)")
    return found


def edge_cases():
    copied = bytes(range(1, 9)) + bytes(range(0x80, 0x100))
    rng = random.Random(7)
    cases = {
        "empty": b"",
        "one-letter": b"a",
        "one-space": b" ",
        "one-high": b"\x80",
        "one-nul": b"\x00",
        "space-pair": b" A",
        "ten": b"abcabcabca",
        "eleven": b"abcabcabcab",
        "twelve": b"abcabcabcabc",
        "twenty-one": b"abcabcabcabcabcabcabc",
        "twenty-two": b"abcabcabcabcabcabcabca",
        "all-a": b"a" * RECORD,
        "all-nul": b"\x00" * RECORD,
        "all-space": b" " * RECORD,
        "all-80": b"\x80" * RECORD,
        "all-ff": b"\xff" * RECORD,
        "all-01": b"\x01" * RECORD,
        "every-byte": bytes(range(256)) * (RECORD // 256),
        "copied-only": bytes(rng.choice(copied) for _ in range(RECORD)),
        "copied-between-text": bytes(rng.choice(copied) if rng.random() < 0.3
                                     else rng.randrange(0x09, 0x80) for _ in range(RECORD)),
        "text-ending-in-space": (b"It is a truth universally acknowledged " * 120)[:RECORD - 1]
                                + b" ",
        "spaces-before-everything": b"".join(b" " + bytes([b]) for b in range(256)) * 8,
        "period-2047": (bytes(rng.randrange(256) for _ in range(2047)) * 2)[:RECORD],
        "period-2048": (bytes(rng.randrange(256) for _ in range(2048)) * 2)[:RECORD],
    }
    for n in range(1, 12):
        cases[f"short-{n}"] = bytes(rng.randrange(256) for _ in range(n))
        cases[f"short-text-{n}"] = b"the cat sat"[:n]
    for n in range(4):
        cases[f"random-{n}"] = bytes(rng.randrange(256) for _ in range(RECORD - 97 * n))
        runs = bytearray()
        while len(runs) < RECORD:
            runs += bytes([rng.choice(b"ab \x00\x05\x80\xfe")]) * rng.randrange(1, 14)
        cases[f"runs-{n}"] = bytes(runs[:RECORD])
        words = [bytes(rng.randrange(0x61, 0x7b) for _ in range(rng.randrange(1, 9)))
                 for _ in range(40)]
        cases[f"few-words-{n}"] = b" ".join(rng.choice(words) for _ in range(900))[:RECORD]
    return cases


def inputs(records_per_book=None):
    """(name, bytes) of every input: book text in records of 4,096 bytes (the first
    records_per_book of each book, or all), then the edge cases."""
    for name, text in books():
        count = (len(text) + RECORD - 1) // RECORD
        if records_per_book is not None:
            count = min(count, records_per_book)
        for n in range(count):
            yield f"{name}#{n}", text[n * RECORD:(n + 1) * RECORD]
    yield from edge_cases().items()


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = argv[1]
    records = int(argv[3]) if len(argv) > 3 and argv[2] == "--records" else 3
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    count = 0
    for n, (name, data) in enumerate(inputs(records)):
        safe = "".join(c if c.isalnum() or c in "-_#." else "_" for c in name)
        with open(os.path.join(out, f"{n:03d}-{safe}"), "wb") as f:
            f.write(data)
        count += 1
    with open(os.path.join(out, "ready"), "w") as f:
        f.write(f"{count}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
