#!/usr/bin/python3
"""What the joint format costs: each book of a varied set converted by the carried runtime as a
MOBI 6 file and as a joint MOBI 6 + KF8 file, one at a time, cold (the converter as each book
starts it), with the conversion time and the output size of each, and the totals and ratios.

The set: the test suite's generated books (tests/runtime/make_books.py, those it can make here),
the program's sample books (resources/samples/make_samples.py) and calibre's quick-start guides
(/usr/share/calibre/quick_start/*.epub, when calibre is installed).

Usage: format_bench.py ARCHIVE [--runs N] [--work DIR]
"""

import argparse
import glob
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
FORMATS = (("MOBI 6", []), ("joint", ["--mobi-file-type", "both"]))


def make_books(folder):
    sys.path.insert(0, os.path.join(TOP, "tests", "runtime"))
    import make_books as mb
    os.makedirs(folder, exist_ok=True)
    books = []
    for name in mb.TEST_BOOKS:
        file_name, make = mb.BOOKS[name]
        if make is None:
            continue  # the broken book and the bomb
        try:
            book = make()
        except ImportError:
            continue  # a book that needs a module this machine lacks
        path = os.path.join(folder, file_name)
        book.write(path)
        books.append(path)
    samples = os.path.join(folder, "samples")
    subprocess.run([sys.executable, os.path.join(TOP, "resources", "samples", "make_samples.py"),
                    samples], check=True, stdout=subprocess.DEVNULL)
    books += sorted(glob.glob(os.path.join(samples, "*.epub")))
    books += sorted(glob.glob("/usr/share/calibre/quick_start/*.epub"))
    return books


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("archive")
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--work")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bq-format-bench-", dir=args.work) as work:
        runtime = os.path.join(work, "runtime")
        subprocess.run(["unzip", "-q", args.archive, "-d", runtime], check=True)
        converter = os.path.join(runtime, "ebook-convert")
        books = make_books(os.path.join(work, "books"))
        env = dict(os.environ, CALIBRE_TEMP_DIR=os.path.join(work, "scratch"))
        os.makedirs(env["CALIBRE_TEMP_DIR"])
        print(f"{len(books)} books, median of {args.runs} run(s) each, one at a time")
        print(f"{'book':34} {'MOBI 6 s':>9} {'joint s':>9} {'MOBI 6 KiB':>11} {'joint KiB':>10}"
              f" {'size x':>7}")
        totals = {name: [0.0, 0] for name, _ in FORMATS}
        for book in books:
            row = {}
            for name, options in FORMATS:
                out = os.path.join(work, "out.mobi")
                times = []
                for _ in range(args.runs):
                    if os.path.exists(out):
                        os.remove(out)
                    start = time.monotonic()
                    r = subprocess.run([converter, book, out, *options], env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    times.append(time.monotonic() - start)
                    if r.returncode != 0:
                        raise SystemExit(f"{book} ({name}) failed to convert")
                row[name] = (statistics.median(times), os.path.getsize(out))
                totals[name][0] += row[name][0]
                totals[name][1] += row[name][1]
            (t6, s6), (tj, sj) = row["MOBI 6"], row["joint"]
            print(f"{os.path.basename(book)[:34]:34} {t6:9.2f} {tj:9.2f} {s6 / 1024:11.1f}"
                  f" {sj / 1024:10.1f} {sj / s6:7.2f}")
        (t6, s6), (tj, sj) = totals["MOBI 6"], totals["joint"]
        print(f"{'total':34} {t6:9.2f} {tj:9.2f} {s6 / 1024:11.1f} {sj / 1024:10.1f}"
              f" {sj / s6:7.2f}")
        print(f"joint against MOBI 6: {tj / t6:.2f} x the time, {sj / s6:.2f} x the size")


if __name__ == "__main__":
    main()
