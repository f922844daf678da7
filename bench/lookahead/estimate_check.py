#!/usr/bin/python3
"""How well the run's estimate of a book's conversion time ranks real books.

Spare converters take the book expected to take longest; this compares that expectation with
the installed ebook-convert's measured wall time (cold, one at a time) on books of many kinds:
the tests' books (pictures, fonts, MathML, right-to-left, thousands of chapters, one long
chapter, tag soup), the program's bundled samples, calibre's own Quick Start guides in six
languages, and two books made to mislead it: a small file that is slow (deeply nested markup)
and a large file that is fast (one big picture). Prints each book's estimate and time, the rank
correlation (Spearman), and the share of pairs whose times differ by more than 25 % that the
estimate puts in the right order.

Usage: estimate_check.py --driver PATH [--work FOLDER] [--runs N (1)]
"""

import argparse
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "runtime"))
import make_books  # noqa: E402

MAKE_SAMPLES = os.path.join(HERE, "..", "..", "resources", "samples", "make_samples.py")
QUICK_START = "/usr/share/calibre/quick_start"


def nested_book(path, depth=3000, copies=4):
    """Little text in markup nested thousands deep: small, and slow to lay out."""
    b = make_books.Book("Nested", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0101")
    for n in range(copies):
        body = "<div>" * depth + f"<p>Deep {n}.</p>" + "</div>" * depth
        b.chapter(f"c{n}", f"nested{n}.xhtml", f"Nested {n}", body)
    b.write(path)


def big_picture_book(path, side=2600):
    """One chapter and one large photograph-like picture: a large file, quick to convert."""
    from PIL import Image
    import io
    rng = random.Random(7)
    img = Image.frombytes("RGB", (side, side), rng.randbytes(side * side * 3))
    out = io.BytesIO()
    img.save(out, "JPEG", quality=92)
    b = make_books.Book("One Big Picture", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0102")
    b.add("pic", "big.jpg", "image/jpeg", out.getvalue())
    b.chapter("c1", "c1.xhtml", "The Picture", '<p>A picture.</p><img src="big.jpg" alt="big"/>')
    b.write(path)


def books(work):
    made = os.path.join(work, "made")
    names = [n for n in make_books.BOOKS if n not in ("bomb", "broken")]
    subprocess.run([sys.executable, make_books.__file__, made] + names, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([sys.executable, MAKE_SAMPLES, os.path.join(work, "samples")], check=True,
                   stdout=subprocess.DEVNULL)
    nested_book(os.path.join(made, "liar-nested.epub"))
    big_picture_book(os.path.join(made, "liar-big-picture.epub"))
    found = sorted(glob.glob(os.path.join(made, "*.epub")) +
                   glob.glob(os.path.join(work, "samples", "*.epub")) +
                   glob.glob(os.path.join(QUICK_START, "*.epub")))
    return found


def measure(book, work, runs):
    times = []
    for _ in range(runs):
        out = os.path.join(work, "out.mobi")
        start = time.monotonic()
        done = subprocess.run(["ebook-convert", book, out], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        times.append(time.monotonic() - start)
        if done.returncode != 0:
            return None
    return sorted(times)[len(times) // 2]


def ranks(values):
    order = sorted(range(len(values)), key=lambda i: values[i])
    result = [0.0] * len(values)
    i = 0
    while i < len(order):
        j = i
        while j + 1 < len(order) and values[order[j + 1]] == values[order[i]]:
            j += 1
        for k in range(i, j + 1):
            result[order[k]] = (i + j) / 2 + 1
        i = j + 1
    return result


def spearman(xs, ys):
    rx, ry = ranks(xs), ranks(ys)
    n = len(xs)
    mx, my = sum(rx) / n, sum(ry) / n
    cov = sum((a - mx) * (b - my) for a, b in zip(rx, ry))
    vx = sum((a - mx) ** 2 for a in rx) ** 0.5
    vy = sum((b - my) ** 2 for b in ry) ** 0.5
    return cov / (vx * vy)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--work")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="estimate-", dir="/var/tmp"))
    os.makedirs(work, exist_ok=True)
    found = books(work)
    text = subprocess.run([args.driver, "--estimate"] + found, check=True, capture_output=True,
                          text=True).stdout
    estimates = {path: float(seconds) for seconds, path in
                 (line.split("\t", 1) for line in text.splitlines())}
    rows = []
    for book in found:
        seconds = measure(book, work, args.runs)
        if seconds is None:
            print(f"  {os.path.basename(book)}: the converter failed; left out")
            continue
        rows.append((book, estimates[book], seconds))
    rows.sort(key=lambda r: -r[2])
    print(f"{'book':38} {'KiB':>7} {'estimate s':>11} {'measured s':>11}")
    for book, estimate, seconds in rows:
        name = os.path.relpath(book, work) if book.startswith(work) else book
        print(f"{name[-38:]:38} {os.path.getsize(book) // 1024:7d} {estimate:11.2f} "
              f"{seconds:11.2f}")
    rho = spearman([r[1] for r in rows], [r[2] for r in rows])
    pairs = right = 0
    for i, a in enumerate(rows):
        for b in rows[i + 1:]:
            if max(a[2], b[2]) > 1.25 * min(a[2], b[2]):
                pairs += 1
                right += (a[1] > b[1]) == (a[2] > b[2])
    print(f"{len(rows)} books: rank correlation {rho:.2f}; pairs more than 25 % apart put in "
          f"the right order: {right} of {pairs} ({100 * right / max(1, pairs):.0f} %)")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
