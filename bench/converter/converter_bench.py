#!/usr/bin/python3
"""The carried converter against the installed calibre, book by book: CPU and wall time of
converting EPUB to MOBI, and whether the two MOBIs read the same.

The books: every book of the tests' generator (tests/runtime/make_books.py, the long and
many-chapter ones included, not the broken one), the three samples (resources/samples) and
calibre's quick-start guides (/usr/share/calibre/quick_start). Each book is converted by the
installed ebook-convert and by the carried runtime's (unpacked from the archive, started cold:
no warm converter runs), one after the other, the order alternating from book to book. CPU is
user + system time of the whole process tree (os.wait4); wall time is the time until it ended.
"same" means tests/support/mobi_compare.py finds no difference (text with pictures by digest,
pictures, metadata, table of contents).

Targets: the carried converter's CPU at most 0.5 times calibre's on the median book (the median
of the per-book ratios), and at most 0.6 times over the whole set; every output the same.

Usage: converter_bench.py ARCHIVE [--launcher /usr/bin/ebook-convert] [--runs N (1)]
                          [--books NAME,...] [--work FOLDER]
With --runs N each conversion is made N times and the median kept.
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
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
import mobi_compare  # noqa: E402

QUICK_START = "/usr/share/calibre/quick_start"


def make_books(folder):
    subprocess.run(["/usr/bin/python3", os.path.join(TOP, "tests", "runtime", "make_books.py"),
                    folder, "--all"], check=True, stdout=subprocess.DEVNULL)
    os.remove(os.path.join(folder, "broken.epub"))
    subprocess.run(["/usr/bin/python3", os.path.join(TOP, "resources", "samples",
                                                     "make_samples.py"), folder],
                   check=True, stdout=subprocess.DEVNULL)
    books = sorted(glob.glob(os.path.join(folder, "*.epub")))
    books += sorted(glob.glob(os.path.join(QUICK_START, "*.epub")))
    return books


def convert(exe, book, mobi, env):
    """(CPU seconds of the process tree, wall seconds); fails loudly when the conversion does."""
    if os.path.exists(mobi):
        os.remove(mobi)
    start = time.perf_counter()
    with open(mobi + ".log", "wb") as log:
        p = subprocess.Popen([exe, book, mobi], stdin=subprocess.DEVNULL, stdout=log,
                             stderr=subprocess.STDOUT, env=env)
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    wall = time.perf_counter() - start
    if p.returncode != 0:
        with open(mobi + ".log", encoding="utf-8", errors="replace") as f:
            sys.exit(f"converter_bench: {exe} failed on {book}:\n{f.read()[-2000:]}")
    return usage.ru_utime + usage.ru_stime, wall


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("archive")
    ap.add_argument("--launcher", default="/usr/bin/ebook-convert")
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--books", help="only the books whose file names start with these")
    ap.add_argument("--work")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="bq-converter-bench-", dir=args.work) as work:
        runtime = os.path.join(work, "runtime")
        subprocess.run(["unzip", "-q", args.archive, "-d", runtime], check=True)
        carried = os.path.join(runtime, "ebook-convert")
        books_dir = os.path.join(work, "books")
        books = make_books(books_dir)
        if args.books:
            wanted = args.books.split(",")
            books = [b for b in books if os.path.basename(b).startswith(tuple(wanted))]
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", HOME=os.path.join(work, "home"))
        print(f"{len(books)} books, {args.runs} run(s) each; CPU = user + system of the process "
              f"tree, seconds")
        print(f"{'book':28}{'KiB':>6} | {'calibre':>8}{'carried':>8}{'ratio':>6} | "
              f"{'wall c.':>8}{'carried':>8}{'ratio':>6} | same")
        rows = []
        for n, book in enumerate(books):
            name = os.path.basename(book)[:-5]
            times = {"installed": [], "carried": []}
            outputs = {}
            order = ["installed", "carried"] if n % 2 == 0 else ["carried", "installed"]
            for run in range(args.runs):
                for who in order if run % 2 == 0 else order[::-1]:
                    exe = args.launcher if who == "installed" else carried
                    outputs[who] = os.path.join(work, f"{n}-{who}.mobi")
                    times[who].append(convert(exe, book, outputs[who], env))
            cpu = {w: statistics.median(t[0] for t in times[w]) for w in times}
            wall = {w: statistics.median(t[1] for t in times[w]) for w in times}
            found = mobi_compare.differences(mobi_compare.reading(outputs["installed"]),
                                             mobi_compare.reading(outputs["carried"]))
            rows.append((name, cpu, wall, not found))
            print(f"{name[:28]:28}{os.path.getsize(book) // 1024:>6} | "
                  f"{cpu['installed']:>8.2f}{cpu['carried']:>8.2f}"
                  f"{cpu['carried'] / cpu['installed']:>6.2f} | "
                  f"{wall['installed']:>8.2f}{wall['carried']:>8.2f}"
                  f"{wall['carried'] / wall['installed']:>6.2f} | "
                  f"{'yes' if not found else 'NO: ' + '; '.join(found)[:200]}", flush=True)
        total = {w: sum(r[1][w] for r in rows) for w in ("installed", "carried")}
        total_wall = {w: sum(r[2][w] for r in rows) for w in ("installed", "carried")}
        ratios = [r[1]["carried"] / r[1]["installed"] for r in rows]
        median_book = sorted(rows, key=lambda r: r[1]["carried"] / r[1]["installed"])[
            (len(rows) - 1) // 2]
        print(f"{'total':28}{'':>6} | {total['installed']:>8.2f}{total['carried']:>8.2f}"
              f"{total['carried'] / total['installed']:>6.2f} | "
              f"{total_wall['installed']:>8.2f}{total_wall['carried']:>8.2f}"
              f"{total_wall['carried'] / total_wall['installed']:>6.2f} | "
              f"{sum(r[3] for r in rows)}/{len(rows)} the same")
        print(f"CPU ratio: median book {statistics.median(ratios):.2f} ({median_book[0]}: "
              f"{median_book[1]['installed']:.2f} s by calibre), target 0.50; "
              f"whole set {total['carried'] / total['installed']:.2f}, target 0.60")
        return 0 if all(r[3] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
