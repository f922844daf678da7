#!/usr/bin/python3
"""Power cut while `brindlequill --convert` puts a new book in place of an old one on an ext4
file system (an image on a loop device, mounted noauto_da_alloc so that ext4 itself flushes
nothing the program did not flush): from when the converter has written the new book until the
program ends, the program is stopped at random moments (SIGSTOP, waiting until every thread has
stopped) and the image is copied there: what the disk holds at that moment. Each copy, its
journal replayed and checked by e2fsck, must hold the old book or the new one (byte for byte the
new one the program left), never a mix, an empty file or none; a copy made just after the
program ended must hold the new one.

Needs root and loop devices; says it is skipped otherwise (exit status 77).

Usage: test_power_cut.py PROGRAM
Environment: BQ_POWER_RUNS (conversions cut, 5), BQ_POWER_CUTS (most cuts in one, 60),
BQ_POWER_SEED.
"""

import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the sources
sys.path.insert(0, os.path.join(HERE, "..", "runtime"))
import make_books  # noqa: E402
from test_convert import environment  # noqa: E402
from test_soak import TEMPORARY  # noqa: E402

SKIPPED = 77


def run(*command):
    return subprocess.run(command, capture_output=True, text=True)


def stopped(pid):
    """True when every thread of pid is stopped (or it has ended)."""
    try:
        states = []
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat", "rb") as f:
                states.append(f.read().rsplit(b")", 1)[1].split()[0])
        return all(s in (b"T", b"t", b"Z", b"X") for s in states)
    except OSError:
        return True


def book(path, title, chapters):
    b = make_books.Book(title, "urn:brindlequill:" + title.replace(" ", "-"))
    for n in range(1, chapters + 1):
        b.chapter(f"c{n}", f"c{n}.xhtml", f"Chapter {n}",
                  make_books.paragraphs(make_books.MELVILLE * 20))
    b.write(path)


def main(program):
    if os.geteuid() != 0:
        print("skipped: the power-cut test mounts a file system image, which needs root")
        return SKIPPED
    seed = int(os.environ.get("BQ_POWER_SEED", "20261210"))
    runs = int(os.environ.get("BQ_POWER_RUNS", "5"))
    most_cuts = int(os.environ.get("BQ_POWER_CUTS", "60"))
    rng = random.Random(seed)
    print(f"BQ_POWER_SEED={seed} BQ_POWER_RUNS={runs} BQ_POWER_CUTS={most_cuts}")
    with tempfile.TemporaryDirectory(prefix="bq power cut ") as work:
        temp, live, seen = (os.path.join(work, n) for n in ("temp", "live", "seen"))
        image, copy = os.path.join(work, "disk.img"), os.path.join(work, "cut.img")
        for folder in (temp, live, seen):
            os.makedirs(folder)
        env = dict(environment(temp), XDG_STATE_HOME=os.path.join(work, "state"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"))
        old, new = os.path.join(work, "old"), os.path.join(work, "new")
        os.makedirs(old)
        os.makedirs(new)
        book(os.path.join(old, "a.epub"), "The old book", 2)
        book(os.path.join(new, "a.epub"), "The new book", 40)
        r = subprocess.run([program, "--convert", os.path.join(old, "a.epub")], env=env,
                           capture_output=True, text=True)
        if r.returncode != 0:
            print("the old book did not convert:", r.stderr)
            return 1
        with open(os.path.join(old, "a.mobi"), "rb") as f:
            old_bytes = f.read()

        tally = collections.Counter()
        failures = []
        for n in range(runs):
            run("truncate", "-s", "0", image)
            run("truncate", "-s", "16M", image)
            r = run("mkfs.ext4", "-q", "-F", image)
            if r.returncode == 0:
                r = run("mount", "-o", "loop,noauto_da_alloc,commit=300", image, live)
            if r.returncode != 0:
                print("skipped: an ext4 image cannot be made or mounted here (loop devices?):",
                      r.stderr.strip())
                return SKIPPED
            p = None
            try:
                shutil.copy(os.path.join(old, "a.mobi"), os.path.join(live, "a.mobi"))
                os.sync()
                p = subprocess.Popen([program, "--convert", "--output-folder", live,
                                      os.path.join(new, "a.epub")],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                # From when the new book has been written beside the old one.
                written = lambda: any(  # noqa: E731
                    TEMPORARY.fullmatch(e.name) and e.stat().st_size > 0
                    for e in os.scandir(live))
                while p.poll() is None and not written():
                    time.sleep(0.002)
                cuts = 0
                while p.poll() is None and cuts < most_cuts:
                    time.sleep(rng.uniform(0, 0.004))
                    os.kill(p.pid, signal.SIGSTOP)
                    while not stopped(p.pid):
                        time.sleep(0.0005)
                    shutil.copyfile(image, copy)
                    cuts += 1
                    state = examine(copy, seen, old_bytes)
                    os.kill(p.pid, signal.SIGCONT)
                    tally[state[0]] += 1
                    if state[1]:
                        failures.append(f"run {n + 1} cut {cuts}: {state[1]}")
                _, err = p.communicate(timeout=600)
                with open(os.path.join(live, "a.mobi"), "rb") as f:
                    new_bytes = f.read()
                # Cut just after the program said it converted the book: the new one stays.
                shutil.copyfile(image, copy)
                ended = examine(copy, seen, old_bytes)
                if ended[0] != "new" or ended[1]:
                    failures.append(f"run {n + 1}, cut at the program's end: {ended[0]} {ended[1]}")
            finally:
                if p is not None and p.poll() is None:  # only when the test itself failed
                    p.kill()
                    p.wait()
                run("umount", live)
            if p.returncode != 0 or new_bytes == old_bytes:
                print(f"run {n + 1}: the new book was not put in place ({p.returncode}): {err}")
                return 1
            # The copies that held a new book held the one that was put in place.
            for name in sorted(os.listdir(seen)):
                with open(os.path.join(seen, name), "rb") as f:
                    if f.read() != new_bytes:
                        failures.append(f"run {n + 1}: a cut left a book that is neither")
                os.remove(os.path.join(seen, name))
            print(f"run {n + 1}: {cuts} cuts")
        print("what the disk held at the cuts:",
              ", ".join(f"{k}: {v}" for k, v in sorted(tally.items())))
        for failure in failures:
            print("FAILED", failure)
        return 1 if failures else 0


def examine(copy, seen, old_bytes):
    """Replays the copy's journal and reads it: (what it held, why that is wrong or "")."""
    r = run("e2fsck", "-fy", copy)
    if r.returncode not in (0, 1):
        return "damaged", f"e2fsck {r.returncode}: {r.stdout}"
    mount = os.path.join(os.path.dirname(copy), "cut")
    os.makedirs(mount, exist_ok=True)
    r = run("mount", "-o", "loop,ro", copy, mount)
    if r.returncode != 0:
        return "unmountable", r.stderr
    try:
        names = sorted(os.listdir(mount))
        temporaries = [n for n in names if TEMPORARY.fullmatch(n)]
        extra = set(names) - set(temporaries) - {"a.mobi", "lost+found"}
        if "a.mobi" not in names or extra:
            return "missing", f"the folder held {names}"
        with open(os.path.join(mount, "a.mobi"), "rb") as f:
            data = f.read()
        state = "old" if data == old_bytes else "new"
        if state == "new":
            if not data:
                return "empty", "a.mobi was empty"
            with open(os.path.join(seen, f"{len(os.listdir(seen)):04d}"), "wb") as f:
                f.write(data)
        return state + (" with a temporary" if temporaries else ""), ""
    finally:
        run("umount", mount)


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
