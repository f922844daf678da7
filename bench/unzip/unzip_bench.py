#!/usr/bin/python3
"""Times extracting an archive shaped like the converter runtime.

Builds (once, then reuses) a ZIP of the installed calibre's library and resources trees with
an ebook-convert launcher at its root, links dereferenced, as the program carries it. Then,
side by side in one run, it extracts that archive through an unzip session (the unzip-one
command), with Info-ZIP's `unzip -q`, and copies the unpacked tree with `cp -a`, each into a
fresh folder, once on the disk and once on tmpfs (/dev/shm). It checks that the three trees
are identical (names, kinds, permission bits, contents) and prints the median time of each
tool, the ratios against the targets and the peak resident memory of each tool. On the disk
it gives two times: the tool's own (its data may still sit in the page cache when it ends) and
the tool's followed by `sync -f` of the target's file system (the data on the disk).

Usage: unzip_bench.py --unzip-one PATH [--work DIR] [--runs N] [--shm DIR]
"""

import argparse
import hashlib
import os
import shutil
import stat
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

CALIBRE_TREES = [("/usr/lib/calibre", "lib/calibre"), ("/usr/share/calibre", "share/calibre")]

LAUNCHER = b"""#!/bin/sh
# Runs calibre's converter from the trees beside this launcher.
here=$(dirname "$(readlink -f "$0")")
export CALIBRE_PYTHON_PATH="$here/lib/calibre"
export CALIBRE_RESOURCES_PATH="$here/share/calibre"
export CALIBRE_EXTENSIONS_PATH="$here/lib/calibre/calibre/plugins"
exec /usr/bin/python3 -c 'import sys; sys.argv[0] = "ebook-convert"; exec(open("/usr/bin/ebook-convert").read())' "$@"
"""


def build_archive(path):
    """Writes the runtime-shaped archive to path (through a temporary name)."""
    tmp = path + ".part"
    entries = 0
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        info = zipfile.ZipInfo("ebook-convert", date_time=time.localtime()[:6])
        info.external_attr = (stat.S_IFREG | 0o755) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        zf.writestr(info, LAUNCHER)
        entries += 1
        for root, arcroot in CALIBRE_TREES:
            for folder, dirs, files in os.walk(root, followlinks=True):
                dirs.sort()
                rel = os.path.relpath(folder, root)
                arcfolder = arcroot if rel == "." else arcroot + "/" + rel
                zf.write(folder, arcfolder + "/")
                entries += 1
                for name in sorted(files):
                    full = os.path.join(folder, name)
                    if not os.path.isfile(full):
                        continue  # a dangling link or something that is not a file
                    zf.write(full, arcfolder + "/" + name)
                    entries += 1
    os.replace(tmp, path)
    return entries


def archive_figures(path):
    with zipfile.ZipFile(path) as zf:
        infos = zf.infolist()
    return len(infos), sum(i.compress_size for i in infos), sum(i.file_size for i in infos)


def fresh(folder):
    if os.path.lexists(folder):
        subprocess.run(["rm", "-rf", "--", folder], check=True)


def run_timed(argv):
    """Runs argv under /usr/bin/time; returns (seconds, peak resident KiB, exit status, output).

    The peak is measured by /usr/bin/time, whose own small image is all the child starts with
    (a child forked from this Python process would count Python's memory too)."""
    with tempfile.NamedTemporaryFile("r", suffix=".rss") as rss:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + argv,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        seconds = time.perf_counter() - start
        text = rss.read().strip().splitlines()
    peak = int(text[-1]) if text and text[-1].isdigit() else 0
    return seconds, peak, proc.returncode, proc.stdout


def sync_seconds(folder):
    """Time to write what is still cached for folder's file system to the disk."""
    start = time.perf_counter()
    subprocess.run(["sync", "-f", folder], check=True)
    return time.perf_counter() - start


def tree_listing(top):
    """Relative path -> (kind, permission bits, size) of everything below top."""
    listing = {}
    for folder, dirs, files in os.walk(top):
        for name in dirs + files:
            full = os.path.join(folder, name)
            st = os.lstat(full)
            kind = "d" if stat.S_ISDIR(st.st_mode) else "f" if stat.S_ISREG(st.st_mode) else "?"
            listing[os.path.relpath(full, top)] = (kind, stat.S_IMODE(st.st_mode),
                                                   st.st_size if kind == "f" else 0)
    return listing


def same_tree(a, b):
    """None when the trees hold the same names, kinds, modes and contents; else a reason."""
    la, lb = tree_listing(a), tree_listing(b)
    if la.keys() != lb.keys():
        only_a = sorted(la.keys() - lb.keys())[:5]
        only_b = sorted(lb.keys() - la.keys())[:5]
        return "different names (only in %s: %s; only in %s: %s)" % (a, only_a, b, only_b)
    for rel in la:
        if la[rel] != lb[rel]:
            return "%s differs: %s against %s" % (rel, la[rel], lb[rel])
    diff = subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if diff.returncode != 0:
        return "contents differ:\n" + diff.stdout.decode(errors="replace")[:2000]
    return None


def median(values):
    return statistics.median(values)


def bench_place(label, base, archive, unzip_one, runs, with_sync):
    """Times the three tools into fresh folders under base, in turns; returns, per tool, the
    run times, the run times with the final sync of the written data, and the peak memory."""
    os.makedirs(base, exist_ok=True)
    reference = os.path.join(base, "reference")
    if not os.path.isdir(reference):
        subprocess.run(["unzip", "-q", "-o", archive, "-d", reference], check=True)
    tools = {
        "cUnzip.Unzip": lambda out: [unzip_one, archive, out],
        "unzip -q": lambda out: ["unzip", "-q", archive, "-d", out],
        "cp -a": lambda out: ["cp", "-a", reference, out],
    }
    outs = {name: os.path.join(base, "out-" + name.split()[0].replace(".", "_")) for name in tools}
    times = {name: [] for name in tools}
    synced = {name: [] for name in tools}
    peaks = {name: 0 for name in tools}
    for run in range(runs):
        order = list(tools)
        order = order[run % len(order):] + order[:run % len(order)]
        for name in order:
            out = outs[name]
            fresh(out)
            os.sync()
            seconds, peak, code, output = run_timed(tools[name](out))
            if code != 0:
                sys.exit("%s failed on %s (exit %d):\n%s" %
                         (name, label, code, output.decode(errors="replace")[-3000:]))
            times[name].append(seconds)
            synced[name].append(seconds + (sync_seconds(out) if with_sync else 0.0))
            peaks[name] = max(peaks[name], peak)
            if run == 0:
                problem = same_tree(reference, out)
                if problem:
                    sys.exit("%s on %s did not give the reference tree: %s" %
                             (name, label, problem))
    for out in outs.values():
        fresh(out)
    return {name: (times[name], synced[name], peaks[name]) for name in tools}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--unzip-one", required=True, help="the unzip-one command")
    parser.add_argument("--work", default=os.path.join(os.getcwd(), "unzip-bench-work"),
                        help="folder on the disk for the archive and the disk runs")
    parser.add_argument("--shm", default="/dev/shm/brindlequill-unzip-bench",
                        help="folder on tmpfs for the tmpfs runs")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    unzip_one = os.path.abspath(args.unzip_one)
    os.makedirs(args.work, exist_ok=True)
    archive = os.path.join(args.work, "calibre-runtime.zip")
    if not os.path.isfile(archive):
        print("Building the runtime-shaped archive from the installed calibre...", flush=True)
        build_archive(archive)
    entries, packed, unpacked = archive_figures(archive)
    print("Archive: %s: %d entries, %.1f MB packed, %.1f MB unpacked" %
          (archive, entries, packed / 1e6, unpacked / 1e6))
    print("Runs per tool and place: %d (medians; each into a fresh folder)" % args.runs)

    results = {}
    try:
        shm_archive = os.path.join(args.shm, "calibre-runtime.zip")
        os.makedirs(args.shm, exist_ok=True)
        shutil.copyfile(archive, shm_archive)
        results["tmpfs"] = bench_place("tmpfs", args.shm, shm_archive, unzip_one, args.runs,
                                       False)
        results["disk"] = bench_place("disk", os.path.join(args.work, "disk"), archive,
                                      unzip_one, args.runs, True)
    finally:
        fresh(args.shm)

    rows = [("tmpfs", "tmpfs", 0), ("disk", "disk", 0), ("disk", "disk+sync", 1)]
    med = {}
    print()
    print("%-10s %-14s %9s %9s   %s" % ("place", "tool", "median s", "peak MB", "all runs (s)"))
    for place, label, column in rows:
        for name, figures in results[place].items():
            values = figures[column]
            med[(label, name)] = median(values)
            print("%-10s %-14s %9.3f %9.1f   %s" % (label, name, med[(label, name)],
                                                    figures[2] / 1024.0,
                                                    " ".join("%.3f" % t for t in values)))
    print()

    def ratio(label, a, b, target=None):
        r = med[(label, a)] / med[(label, b)]
        verdict = "" if target is None else (
            " (target at most %.2f) %s" % (target, "met" if r <= target else "NOT MET"))
        print("%-10s %s / %s = %.2f%s" % (label + ":", a, b, r, verdict))

    ratio("tmpfs", "cUnzip.Unzip", "unzip -q", 0.45)
    ratio("disk", "cUnzip.Unzip", "cp -a", 1.10)
    ratio("disk+sync", "cUnzip.Unzip", "cp -a", 1.10)
    ratio("disk", "cUnzip.Unzip", "unzip -q")
    ratio("tmpfs", "cUnzip.Unzip", "cp -a")
    peak_mb = max(results["tmpfs"]["cUnzip.Unzip"][2], results["disk"]["cUnzip.Unzip"][2]) / 1024.0
    beyond = peak_mb - packed / (1024.0 * 1024.0)
    print("cUnzip.Unzip peak resident memory: %.1f MB, %.1f MB beyond the archive's size "
          "(target under 200) %s" % (peak_mb, beyond, "met" if beyond < 200 else "NOT MET"))
    print("Trees identical (names, kinds, permission bits, contents) in every place: yes")


if __name__ == "__main__":
    main()
