#!/usr/bin/python3
"""The memory each book's conversion takes, against the memory budget of a run.

Converts, one at a time and with no memory limit, every book of a varied real set through the
carried runtime's ebook-convert (cold: its folder has no warm converter): the tests' generated
books, the program's sample books, calibre's own quick-start guides, and the large generated
book (2,000 chapters, about 11 MB). For each book it prints the peak resident and virtual
memory of its conversion (the largest process of it: resident from the kernel's own count at
its end, virtual from /proc every 20 ms) and the time it took; then the default memory budget
(half this machine's memory), how far it is above the largest peak, and each converter's share
of it for 1 to 4 converters at once, with the books whose peak does not fit a share (those a run
converts again alone, under the whole budget).

Usage: memory_bench.py ARCHIVE [--samples FOLDER] [--work FOLDER] [--without-large]
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "runtime"))
import make_books  # noqa: E402

MB = 1 << 20


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) == pgid:
                members.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return members


def peaks(pid):
    """(VmPeak, VmHWM) of a process in bytes, zeros once it is gone."""
    values = {"VmPeak": 0, "VmHWM": 0}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in values:
                    values[key] = int(rest.split()[0]) * 1024
    except OSError:
        pass
    return values["VmPeak"], values["VmHWM"]


def convert(launcher, book, out):
    """(peak resident, peak virtual, seconds) of converting one book; exits on a failure."""
    start = time.perf_counter()
    child = subprocess.Popen([launcher, book, out], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             start_new_session=True)
    seen = {"virtual": 0, "resident": 0}
    done = threading.Event()

    def watch():
        while not done.is_set():
            for pid in group_members(child.pid):
                virtual, resident = peaks(pid)
                seen["virtual"] = max(seen["virtual"], virtual)
                seen["resident"] = max(seen["resident"], resident)
            done.wait(0.02)

    watcher = threading.Thread(target=watch)
    watcher.start()
    _, status, usage = os.wait4(child.pid, 0)
    done.set()
    watcher.join()
    seconds = time.perf_counter() - start
    errors = child.stderr.read()
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{launcher} failed on {book}: {errors[-2000:].decode(errors='replace')}")
    # ru_maxrss (kB) is the largest resident set of the launcher and the children it waited for.
    return max(seen["resident"], usage.ru_maxrss * 1024), seen["virtual"], seconds


def machine_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) * 1024
    return 0


def books(folder, samples, with_large):
    made = os.path.join(folder, "books")
    os.makedirs(made, exist_ok=True)
    chosen = []
    for name in make_books.TEST_BOOKS + ["tag-soup", "big-pictures", "long-chapter"] + (
            ["large"] if with_large else []):
        if name == "broken":
            continue  # it fails by design
        file_name, make = make_books.BOOKS[name]
        path = os.path.join(made, file_name)
        make().write(path)
        chosen.append(("generated", path))
    if samples:
        chosen += [("sample", p) for p in sorted(glob.glob(os.path.join(samples, "*.epub")))]
    chosen += [("calibre", p)
               for p in sorted(glob.glob("/usr/share/calibre/quick_start/*.epub"))]
    return chosen


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("archive")
    ap.add_argument("--samples")
    ap.add_argument("--work")
    ap.add_argument("--without-large", action="store_true")
    args = ap.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="bq-memory-bench-", dir="/var/tmp")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        runtime = os.path.join(work, "calibre")
        os.makedirs(runtime)
        subprocess.run(["unzip", "-q", args.archive, "-d", runtime], check=True)
        launcher = os.path.join(runtime, "ebook-convert")
        print("making the books ...", file=sys.stderr)
        chosen = books(work, args.samples, not args.without_large)
        out = os.path.join(work, "out")
        os.makedirs(out)
        rows = []
        print(f"{'book':<46} {'from':<9} {'EPUB MB':>7} {'files':>5} {'resident MB':>11} "
              f"{'virtual MB':>10} {'seconds':>7}")
        for kind, book in chosen:
            with zipfile.ZipFile(book) as z:
                files = len(z.namelist())
            resident, virtual, seconds = convert(
                launcher, book, os.path.join(out, f"{len(rows):02d}.mobi"))
            name = os.path.basename(book)
            rows.append((name, resident, virtual))
            print(f"{name[:46]:<46} {kind:<9} {os.path.getsize(book) / MB:>7.1f} {files:>5} "
                  f"{resident / MB:>11.0f} {virtual / MB:>10.0f} {seconds:>7.1f}", flush=True)
        budget = machine_memory() // 2
        largest_resident = max(rows, key=lambda r: r[1])
        largest_virtual = max(rows, key=lambda r: r[2])
        print(f"\nthe default memory budget (half of this machine's {machine_memory() / MB:.0f} MB): "
              f"{budget / MB:.0f} MB")
        print(f"largest peak resident: {largest_resident[1] / MB:.0f} MB ({largest_resident[0]}); "
              f"the budget is {budget / largest_resident[1]:.1f} x that")
        print(f"largest peak virtual (what an address-space limit counts): "
              f"{largest_virtual[2] / MB:.0f} MB ({largest_virtual[0]}); "
              f"the budget is {budget / largest_virtual[2]:.1f} x that")
        for k in (1, 2, 3, 4):
            share = max(budget // k, 256 * MB)
            over = [name for name, _, virtual in rows if virtual > share]
            print(f"{k} converter(s) at once: {share / MB:.0f} MB each; "
                  f"converted again alone: {', '.join(over) if over else 'none'}")
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
