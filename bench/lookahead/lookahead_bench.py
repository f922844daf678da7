#!/usr/bin/python3
"""Look-ahead conversion: a batch through the real window with K converters at once, against a
plain `xargs -P K` loop of the installed ebook-convert over the same books.

Builds 24 varied books with the tests' book generator (small to large, pictures, fonts, many
chapters) and, taking turns in every round, converts them through the real window headless
(lookahead_driver) with K = 1, 2 and 4, and with `xargs -P K` for the same K. Prints the wall
times (medians, with the spread over rounds), the ratios to K = 1 and to xargs, the provisioning
time, the peak total memory of the converters (sum of their processes' resident sizes, sampled
every 100 ms), and the longest gap between two turns of the window's message loop.

In the same rounds, the window converts the batch at K = 2 with its longest book moved last and
moved first (--moved, on by default): the longest books go first whatever the list's order, so
the three K = 2 times agree within 5 %.

Then it stops a run through the window with the largest K busy ("Stop Converting", answered
Yes) a few times and prints how long the run took from Yes to the idle window (target < 1 s).

Targets on a 2-core machine: K = 2 at most 0.56 x K = 1; K = 2 at most 0.85 x (xargs -P 2 +
provisioning); the longest book last or first within 5 % of the batch as made; longest gap under
100 ms.

The window runs its converters at nice 10; the xargs converters run at the same niceness
(--xargs-nice, 10 by default), so that other load on the machine weighs on both alike.

Usage: lookahead_bench.py --driver PATH [--runs N (1)] [--work FOLDER] [--ks 1,2,4]
       [--converter /usr/bin/ebook-convert] [--xargs-nice N] [--books N (24)] [--no-moved]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_BOOKS = os.path.join(HERE, "..", "..", "tests", "runtime", "make_books.py")
GOOD_BOOKS = ["plain-epub2", "epub3-pictures", "fonts", "mathml", "rtl-vertical", "non-ascii",
              "many-chapters", "tag-soup", "big-pictures", "long-chapter"]
PAGE = os.sysconf("SC_PAGE_SIZE")


def make_batch(folder, count=24):
    """count books, the generator's books over and over under names of their own."""
    source = os.path.join(folder, "made")
    subprocess.run([sys.executable, MAKE_BOOKS, source] + GOOD_BOOKS, check=True,
                   stdout=subprocess.DEVNULL)
    made = sorted(os.path.join(source, f) for f in os.listdir(source))
    batch = os.path.join(folder, "batch")
    os.makedirs(batch, exist_ok=True)
    books = []
    for n in range(count):
        original = made[n % len(made)]
        stem = os.path.splitext(os.path.basename(original))[0]
        path = os.path.join(batch, f"{n + 1:02d} {stem}.epub")
        shutil.copyfile(original, path)
        books.append(path)
    return books


def process_table():
    """pid -> (parent pid, resident bytes) for every process."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{name}/statm") as f:
                resident = int(f.read().split()[1]) * PAGE
        except (OSError, IndexError, ValueError):
            continue
        table[int(name)] = (int(fields[1]), resident)
    return table


class MemorySampler(threading.Thread):
    """Peak of the summed resident size of every descendant of one process (not itself)."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.stop = pid, 0, threading.Event()

    def run(self):
        while not self.stop.is_set():
            table = process_table()
            children = {}
            for pid, (parent, _) in table.items():
                children.setdefault(parent, []).append(pid)
            total, todo = 0, list(children.get(self.pid, []))
            while todo:
                pid = todo.pop()
                total += table[pid][1]
                todo.extend(children.get(pid, []))
            self.peak = max(self.peak, total)
            self.stop.wait(0.1)


def run_sampled(command, env=None):
    """Runs command; gives (wall seconds, peak descendants' memory, stdout)."""
    start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    sampler = MemorySampler(process.pid)
    sampler.start()
    out, _ = process.communicate()
    wall = time.monotonic() - start
    sampler.stop.set()
    sampler.join()
    if process.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({process.returncode})")
    return wall, sampler.peak, out


def mobis(folder):
    return sum(1 for f in os.listdir(folder) if f.endswith(".mobi") and not f.startswith("."))


def window_run(args, books, k, work, stop=False, hanging_check=False):
    out = os.path.join(work, f"out-window-{k}")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    env = dict(os.environ)
    env.update({"XDG_CONFIG_HOME": os.path.join(work, "config"), "TEMP": os.path.join(work, "tmp"),
                "QT_QPA_PLATFORM": "offscreen"})
    os.makedirs(env["TEMP"], exist_ok=True)
    _, peak, text = run_sampled([args.driver, "--jobs", str(k), "--out", out]
                                + (["--stop"] if stop else [])
                                + (["--hanging-check"] if hanging_check else []) + books, env)
    head, box = text.split(" box=", 1)
    figures = dict(part.split("=", 1) for part in head.split())
    if stop:
        return int(figures["stop_ms"])
    return {"wall": int(figures["wall_ms"]) / 1000, "peak": peak,
            "program": int(figures["peak_kib"]) * 1024,
            "provisioning": int(figures["provisioning_ms"]) / 1000,
            "gap": int(figures["gap_ms"]), "made": mobis(out), "box": box.strip()}


def xargs_run(args, books, k, work):
    out = os.path.join(work, f"out-xargs-{k}")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    script = ('for b; do n=${b##*/}; nice -n %d "%s" "$b" "%s/${n%%.*}.mobi" >/dev/null 2>&1; '
              'done' % (args.xargs_nice, args.converter, out))
    listing = os.path.join(work, "books.txt")
    with open(listing, "wb") as f:
        f.write(b"\0".join(os.fsencode(b) for b in books) + b"\0")
    wall, peak, _ = run_sampled(["xargs", "-0", "-a", listing, "-P", str(k), "-n", "1",
                                 "sh", "-c", script, "sh"])
    return {"wall": wall, "peak": peak, "made": mobis(out)}


def spread(values):
    return f"{min(values):.1f}-{max(values):.1f}" if len(values) > 1 else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--driver", required=True)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--work")
    parser.add_argument("--ks", default="1,2,4")
    parser.add_argument("--converter", default=shutil.which("ebook-convert") or
                        "/usr/bin/ebook-convert")
    parser.add_argument("--xargs-nice", type=int, default=10)
    parser.add_argument("--books", type=int, default=24, help="batch size (24)")
    parser.add_argument("--no-moved", dest="moved", action="store_false",
                        help="leave out the batch with its longest book moved last and first")
    parser.add_argument("--stop-only", action="store_true",
                        help="only the stops: K=2 and the largest K, with and without a reader "
                             "of the new MOBIs that hangs")
    args = parser.parse_args()
    ks = [int(k) for k in args.ks.split(",")]

    # Absolute paths: the window's run changes its current folder while it provisions.
    args.driver = os.path.abspath(args.driver)
    work = os.path.abspath(args.work or tempfile.mkdtemp(prefix="lookahead-bench-", dir="/var/tmp"))
    os.makedirs(work, exist_ok=True)
    books = make_batch(work, args.books)
    sizes = sorted(os.path.getsize(b) for b in books)
    print(f"{len(books)} books, {sizes[0] // 1024}-{sizes[-1] // 1024} KiB; "
          f"{os.cpu_count()} cores; load {os.getloadavg()[0]:.1f} at the start")

    # The longest book by the window's own K = 1 time is not known before the first round; the
    # largest file stands for it (in this batch, the book with the most text).
    longest = max(books, key=os.path.getsize)
    others = [b for b in books if b != longest]
    batches = {"as made": books}
    if args.moved and 2 in ks:
        batches["longest last"] = others + [longest]
        batches["longest first"] = [longest] + others
    window = {k: [] for k in ks}
    moved = {name: [] for name in batches if name != "as made"}
    xargs = {k: [] for k in ks}
    turns = ([("window", k) for k in ks] + [("xargs", k) for k in ks] +
             [("moved", name) for name in moved])
    for n in range(0 if args.stop_only else args.runs):
        # Taking turns, each round in another order, so a change of load weighs on all alike.
        order = turns[n % len(turns):] + turns[:n % len(turns)]
        for kind, k in order:
            if kind == "window":
                result = window_run(args, books, k, work)
                window[k].append(result)
            elif kind == "moved":
                result = window_run(args, batches[k], 2, work)
                moved[k].append(result)
            else:
                result = xargs_run(args, books, k, work)
                xargs[k].append(result)
            extra = (f", provisioning {result['provisioning']:.2f} s, gap {result['gap']} ms, "
                     f"program {result['program'] / 1e6:.0f} MB" if kind != "xargs" else "")
            what = f"window K=2, {k}" if kind == "moved" else f"{kind} K={k}"
            print(f"  round {n + 1}: {what}: {result['wall']:.1f} s, "
                  f"{result['made']} MOBIs, peak {result['peak'] / 1e6:.0f} MB{extra}, "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)

    def median(runs, key):
        return statistics.median(r[key] for r in runs)

    if args.stop_only:
        stop_figures(args, books, ks, work)
        return
    provisioning = statistics.median(r["provisioning"] for k in ks for r in window[k])
    base = median(window[ks[0]], "wall")
    print()
    print(f"{'':10} {'wall s':>8} {'spread':>11} {'/K=1':>6} {'/xargs':>7} "
          f"{'peak MB':>8} {'gap ms':>7} {'program MB':>10}")
    for k in ks:
        w, x = median(window[k], "wall"), median(xargs[k], "wall")
        gap = max(r["gap"] for r in window[k])
        print(f"window K={k} {w:8.1f} {spread([r['wall'] for r in window[k]]):>11} "
              f"{w / base:6.2f} {w / x:7.2f} {median(window[k], 'peak') / 1e6:8.0f} {gap:7d} "
              f"{max(r['program'] for r in window[k]) / 1e6:10.0f}")
        print(f"xargs -P {k} {x:8.1f} {spread([r['wall'] for r in xargs[k]]):>11} "
              f"{x / median(xargs[ks[0]], 'wall'):6.2f} {'':>7} "
              f"{median(xargs[k], 'peak') / 1e6:8.0f}")
    print(f"provisioning (median): {provisioning:.2f} s")
    print(f"last boxes: {sorted({r['box'] for k in ks for r in window[k]})}")
    if 1 in ks and 2 in ks:
        k2 = median(window[2], "wall")
        x2 = median(xargs[2], "wall")
        gap = max(r["gap"] for k in ks for r in window[k])
        print(f"K=2 / K=1 = {k2 / median(window[1], 'wall'):.2f} (target <= 0.56)")
        print(f"K=2 / (xargs -P 2 + provisioning) = {k2 / (x2 + provisioning):.2f} "
              f"(target <= 0.85)")
        for name, runs in moved.items():
            m = median(runs, "wall")
            gap = max([gap] + [r["gap"] for r in runs])
            print(f"K=2 with the {name}: {m:.1f} s "
                  f"({spread([r['wall'] for r in runs])}), {m / k2:.3f} x the batch as made "
                  f"(target within 5 %)")
        print(f"longest message-loop gap = {gap} ms (target < 100)")
        print("peak memory (medians): converters (the window's descendants) at K=2 "
              f"{median(window[2], 'peak') / 1e6:.0f} MB, the program "
              f"{median(window[2], 'program') / 1e6:.0f} MB")
    stop_figures(args, books, ks, work)
    print(f"load {os.getloadavg()[0]:.1f} at the end")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


def stop_figures(args, books, ks, work):
    for k in sorted({2, max(ks)}):
        for hanging in (False, True):
            stops = [window_run(args, books, k, work, stop=True, hanging_check=hanging)
                     for _ in range(max(3, args.runs))]
            what = "a read-back hanging" if hanging else f"K={k} busy"
            print(f"Stop at K={k} with {what}, Yes to the idle window: median "
                  f"{statistics.median(stops)} ms, {min(stops)}-{max(stops)} (target < 1000)")


if __name__ == "__main__":
    main()
