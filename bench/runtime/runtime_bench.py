#!/usr/bin/python3
"""The converter runtime, trimmed against untrimmed: what each costs at every conversion run.

Side by side for the untrimmed tree (everything calibre installs: its library with bytecode,
its resources and the launcher, packed the same way) and the trimmed runtime archive:
files, packed and unpacked bytes; `unzip -q` time on disk and on tmpfs (/dev/shm); and the time
of one small conversion through the unpacked runtime and through the installed ebook-convert.
Medians over several runs. Targets: at most 300 files and 60 MB unpacked; unpacking at most a
quarter of the untrimmed tree's time on disk; a conversion through the runtime no slower than
through the installed converter.

Usage: runtime_bench.py ARCHIVE [--runs N (9)] [--work FOLDER] [--launcher /usr/bin/ebook-convert]
The work folder (default: a temporary folder below /var/tmp, which is on disk) holds the
untrimmed archive and the unpacked trees while the bench runs.
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_BOOKS = os.path.join(HERE, "..", "..", "tests", "runtime", "make_books.py")


def untrimmed_archive(path, launcher):
    """Packs calibre's installed trees as they are (links followed, already-compressed files
    stored, the rest deflated), the way the runtime archive is packed."""
    lib, res = "/usr/lib/calibre", "/usr/share/calibre"
    with zipfile.ZipFile(path, "w", compresslevel=6) as z:
        z.write(launcher, "ebook-convert")
        for top, root in (("lib", lib), ("resources", res)):
            for folder, dirs, files in os.walk(root, followlinks=True):
                dirs.sort()
                for f in sorted(files):
                    src = os.path.join(folder, f)
                    name = top + "/" + os.path.relpath(src, root)
                    stored = f.lower().endswith((".zip", ".png", ".jpg", ".gif", ".rcc",
                                                 ".gz", ".woff2", ".woff"))
                    z.write(src, name, zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED)


def shape(path):
    with zipfile.ZipFile(path) as z:
        files = [i for i in z.infolist() if not i.is_dir()]
        return len(files), os.path.getsize(path), sum(i.file_size for i in files)


def time_unzip(archives, parent, runs):
    """Median `unzip -q` time of each archive into a new folder below parent, taking turns."""
    times = {a: [] for a in archives}
    for n in range(runs):
        for a in archives:
            target = os.path.join(parent, f"unzip-{n}")
            subprocess.run(["sync"])
            t = time.perf_counter()
            subprocess.run(["unzip", "-q", a, "-d", target], check=True)
            times[a].append(time.perf_counter() - t)
            shutil.rmtree(target)
    return [statistics.median(times[a]) for a in archives]


def time_conversions(converters, book, out_dir, runs, env):
    """Median wall and CPU (user + system) times of each converter on the book. The converters
    take turns, run by run, so that both meet the same load on the machine; a first round warms
    the page cache and is not counted."""
    wall = {c: [] for c in converters}
    cpu = {c: [] for c in converters}
    for n in range(runs + 1):
        for c in converters:
            out = os.path.join(out_dir, f"bench-{n}.mobi")
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            t = time.perf_counter()
            r = subprocess.run([c, book, out], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
            elapsed = time.perf_counter() - t
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            if r.returncode != 0:
                sys.exit(f"{c} failed: {r.stderr[-2000:]}")
            if n > 0:
                wall[c].append(elapsed)
                cpu[c].append(after.ru_utime + after.ru_stime - before.ru_utime -
                              before.ru_stime)
    return [(statistics.median(wall[c]), statistics.median(cpu[c])) for c in converters]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("archive")
    ap.add_argument("--runs", type=int, default=9)
    ap.add_argument("--work")
    ap.add_argument("--launcher", default="/usr/bin/ebook-convert")
    args = ap.parse_args()

    work = args.work or tempfile.mkdtemp(prefix="bq-runtime-bench-", dir="/var/tmp")
    os.makedirs(work, exist_ok=True)
    shm = tempfile.mkdtemp(prefix="bq-runtime-bench-", dir="/dev/shm")
    try:
        untrimmed = os.path.join(work, "untrimmed.zip")
        print("packing the untrimmed tree ...", file=sys.stderr)
        untrimmed_archive(untrimmed, args.launcher)
        rows = {"untrimmed": shape(untrimmed), "trimmed": shape(args.archive)}
        print(f"unzip -q, {args.runs} runs each ...", file=sys.stderr)
        disk = dict(zip(("untrimmed", "trimmed"),
                        time_unzip([untrimmed, args.archive], work, args.runs)))
        tmpfs = dict(zip(("untrimmed", "trimmed"),
                         time_unzip([untrimmed, args.archive], shm, args.runs)))

        print("converting a small book ...", file=sys.stderr)
        books = os.path.join(work, "books")
        subprocess.run([sys.executable, MAKE_BOOKS, books, "plain-epub2"], check=True,
                       stdout=subprocess.DEVNULL)
        book = os.path.join(books, "plain-epub2.epub")
        runtime = os.path.join(work, "runtime")
        subprocess.run(["unzip", "-q", args.archive, "-d", runtime], check=True)
        env = dict(os.environ, HOME=os.path.join(work, "home"))
        conv_runtime, conv_installed = time_conversions(
            [os.path.join(runtime, "ebook-convert"), args.launcher], book, work, args.runs, env)

        def mb(n):
            return f"{n / 1e6:.1f} MB"

        print(f"\nConverter runtime, medians of {args.runs} runs")
        print(f"{'':28}{'untrimmed tree':>16}{'trimmed runtime':>17}{'ratio':>8}")
        for label, i, fmt in (("files", 0, str), ("packed", 1, mb), ("unpacked", 2, mb)):
            u, t = rows["untrimmed"][i], rows["trimmed"][i]
            print(f"{label:28}{fmt(u):>16}{fmt(t):>17}{t / u:>8.3f}")
        for label, d in (("unzip -q on disk", disk), ("unzip -q on tmpfs", tmpfs)):
            u, t = d["untrimmed"], d["trimmed"]
            print(f"{label:28}{u * 1000:>13.0f} ms{t * 1000:>14.0f} ms{t / u:>8.3f}")
        for label, i in (("small conversion, wall", 0), ("small conversion, CPU", 1)):
            u, t = conv_installed[i], conv_runtime[i]
            print(f"{label:28}{u * 1000:>13.0f} ms{t * 1000:>14.0f} ms{t / u:>8.3f}")
        print("(the conversions: the installed ebook-convert against the unpacked runtime)")

        files, _, unpacked = rows["trimmed"]
        targets = [
            ("at most 300 files", files <= 300),
            ("at most 60 MB unpacked", unpacked <= 60e6),
            ("unpacking on disk at most 1/4 of the untrimmed tree's",
             disk["trimmed"] <= disk["untrimmed"] / 4),
            ("a conversion no slower than through the installed converter",
             conv_runtime[0] <= conv_installed[0]),
        ]
        print()
        for text, met in targets:
            print(f"  {'met ' if met else 'MISSED'}  {text}")
    finally:
        shutil.rmtree(shm, ignore_errors=True)
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
