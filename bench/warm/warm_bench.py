#!/usr/bin/python3
"""Cold against warm conversions through the runtime's launcher.

Two batches of 24 books made by the tests' book generator: varied books (small to large,
pictures, fonts, MathML, right-to-left text, tag soup, hundreds of chapters) and small books.
Each batch goes through a plain parallel loop of the unpacked runtime's ebook-convert with
K = 1 and K = 2 converters at once: cold (a runtime folder without a warm converter) and warm
(a runtime folder whose warm converter runs), taking turns round by round so that both meet the
same load. Prints the median batch times, the warm/cold ratios, the warm converter's start-up
and its memory (resident set: now and at its peak; proportional set, counting shared pages
once), with the targets: small batch warm at most 0.5 x cold, varied batch warm at most
0.8 x cold, the warm converter under 150 MB.

Usage: warm_bench.py ARCHIVE [--runs N (3)] [--work FOLDER] [--batch small|varied] [--k 1|2]
(--batch and --k time only that batch or that K.)
"""

import argparse
import concurrent.futures
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BOOKS_DIR = os.path.join(HERE, "..", "..", "tests", "runtime")
sys.path.insert(0, BOOKS_DIR)
import make_books  # noqa: E402

VARIED = ["plain-epub2", "epub3-pictures", "fonts", "mathml", "rtl-vertical", "non-ascii",
          "tag-soup", "big-pictures", "long-chapter"]
CHAPTER_COUNTS = [60, 150, 300]


def make_batches(folder):
    """24 varied books and 24 small ones, each under a name of its own."""
    varied_dir = os.path.join(folder, "varied")
    small_dir = os.path.join(folder, "small")
    os.makedirs(varied_dir, exist_ok=True)
    os.makedirs(small_dir, exist_ok=True)
    makers = [make_books.BOOKS[n][1] for n in VARIED]
    makers += [lambda c=c: make_books.book_many_chapters(c) for c in CHAPTER_COUNTS]
    varied = []
    for i in range(24):
        path = os.path.join(varied_dir, f"{i:02d}.epub")
        makers[i % len(makers)]().write(path)
        varied.append(path)
    small = []
    for i in range(24):
        path = os.path.join(small_dir, f"{i:02d}.epub")
        book = make_books.Book(f"Small book {i}", f"urn:uuid:00000000-0000-4000-8000-{i:012d}")
        for c in range(1 + i % 3):
            book.chapter(f"c{c}", f"c{c}.xhtml", f"Chapter {c + 1}",
                         make_books.paragraphs(make_books.AUSTEN + make_books.CARROLL))
        book.write(path)
        small.append(path)
    return {"varied": varied, "small": small}


def run_batch(launcher, books, out_dir, k, env):
    """Wall time of converting every book with at most k launchers at once."""
    os.makedirs(out_dir, exist_ok=True)

    def one(book):
        out = os.path.join(out_dir, os.path.basename(book)[:-5] + ".mobi")
        r = subprocess.run([launcher, book, out], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if r.returncode != 0:
            sys.exit(f"{launcher} failed on {book}: {r.stderr[-2000:].decode(errors='replace')}")

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=k) as pool:
        list(pool.map(one, books))
    return time.perf_counter() - start


def memory(pid):
    """(resident now, resident peak, proportional set) of a process, in bytes."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    pss = 0
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    pss = int(line.split()[1]) * 1024
    except OSError:
        pass
    return values.get("VmRSS", 0), values.get("VmHWM", 0), pss


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("archive")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--work")
    ap.add_argument("--batch", choices=("small", "varied"))
    ap.add_argument("--k", type=int, choices=(1, 2))
    args = ap.parse_args()
    chosen_batches = [args.batch] if args.batch else ["small", "varied"]
    chosen_k = [args.k] if args.k else [1, 2]

    work = args.work or tempfile.mkdtemp(prefix="bq-warm-bench-", dir="/var/tmp")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    server = None
    try:
        runtimes = {}
        for mode in ("cold", "warm"):
            runtimes[mode] = os.path.join(work, mode, "calibre")
            os.makedirs(runtimes[mode])
            subprocess.run(["unzip", "-q", args.archive, "-d", runtimes[mode]], check=True)
        print("making the books ...", file=sys.stderr)
        batches = make_batches(os.path.join(work, "books"))
        env = dict(os.environ, HOME=os.path.join(work, "home"))
        os.makedirs(env["HOME"], exist_ok=True)

        print("starting the warm converter ...", file=sys.stderr)
        socket_path = os.path.join(runtimes["warm"], "warm.sock")
        log = open(os.path.join(work, "warm.log"), "ab")
        started = time.perf_counter()
        server = subprocess.Popen([os.path.join(runtimes["warm"], "warm-converter")],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                  start_new_session=True)
        while not os.path.exists(socket_path):
            if server.poll() is not None or time.perf_counter() - started > 300:
                sys.exit("the warm converter did not get ready; see " + log.name)
            time.sleep(0.02)
        warm_up = time.perf_counter() - started
        memory_ready = memory(server.pid)

        # A first, uncounted pass of each batch warms the page cache and calibre's settings.
        for name, books in batches.items():
            run_batch(os.path.join(runtimes["cold"], "ebook-convert"), books[:4],
                      os.path.join(work, "out", "first"), 2, env)

        times = {}
        order = [(batch, k, mode) for batch in chosen_batches for k in chosen_k
                 for mode in ("cold", "warm")]
        for run in range(args.runs):
            # Taking turns: cold and warm swap places every run.
            for batch, k, mode in order:
                if run % 2:
                    mode = "warm" if mode == "cold" else "cold"
                print(f"run {run + 1}/{args.runs}: {batch} batch, K = {k}, {mode} ...",
                      file=sys.stderr)
                t = run_batch(os.path.join(runtimes[mode], "ebook-convert"), batches[batch],
                              os.path.join(work, "out", f"{batch}-{k}-{mode}"), k, env)
                times.setdefault((batch, k, mode), []).append(t)
        memory_end = memory(server.pid)
        with open(log.name, encoding="utf-8", errors="replace") as f:
            handed = f.read().count("converting in")
        attempts = sum(len(batches[b]) for b in chosen_batches) * len(chosen_k) * args.runs
        declined = attempts - handed

        def mb(n):
            return f"{n / 1e6:.0f} MB"

        print(f"\nCold against warm conversions through the runtime launcher, "
              f"medians of {args.runs} runs")
        print(f"{'batch (24 books)':22}{'K':>3}{'cold':>10}{'warm':>10}{'warm/cold':>11}"
              f"{'per book cold':>15}{'warm':>8}")
        ratios = {}
        for batch in chosen_batches:
            for k in chosen_k:
                cold = statistics.median(times[(batch, k, "cold")])
                warm = statistics.median(times[(batch, k, "warm")])
                ratios[(batch, k)] = warm / cold
                n = len(batches[batch])
                print(f"{batch:22}{k:>3}{cold:>9.1f}s{warm:>9.1f}s{warm / cold:>11.2f}"
                      f"{cold / n * k:>14.2f}s{warm / n * k:>7.2f}s")
        print(f"\nwarm converter: ready after {warm_up:.1f} s; resident {mb(memory_ready[0])} "
              f"when ready, {mb(memory_end[0])} at the end, peak {mb(memory_end[1])}; "
              f"proportional set {mb(memory_end[2])}")
        print(f"conversions handed over: {handed}; converted cold by a warm launcher: "
              f"{declined}")
        targets = [("warm converter under 150 MB (peak resident set)", memory_end[1] < 150e6)]
        for batch, limit in (("small", 0.5), ("varied", 0.8)):
            if batch in chosen_batches:
                worst = max(ratios[(batch, k)] for k in chosen_k)
                targets.insert(0, (f"{batch} batch warm at most {limit} x cold "
                                   f"(K = {', '.join(map(str, chosen_k))})", worst <= limit))
        print()
        for text, met in targets:
            print(f"  {'met ' if met else 'MISSED'}  {text}")
    finally:
        if server is not None and server.poll() is None:
            server.terminate()
            server.wait(30)
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
