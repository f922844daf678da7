#!/usr/bin/python3
"""`brindlequill --convert` against `xargs -P K` of the installed ebook-convert, and against the
window, on the same books, taking turns in every round.

Two batches: the 24 varied books of the look-ahead benchmark (small to large, pictures, fonts,
many chapters), and 200 small books. Each round converts each batch with `--convert --jobs K`,
with `xargs -P K` of the installed ebook-convert (at the converters' niceness), and, for the
varied batch, through the window headless (lookahead_driver). Prints wall times (medians, with
the spread over rounds) and the ratios.

Targets on a 2-core machine, K = 2: --convert at most 0.85 x xargs on the varied batch and at
most 0.5 x on the small books; the window within 5 % of --convert.

Usage: cli_bench.py --program PATH --driver PATH [--runs N (1)] [--jobs K (2)] [--work FOLDER]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lookahead"))
import lookahead_bench  # noqa: E402


def small_batch(folder, count=200):
    source = os.path.join(folder, "small-made")
    subprocess.run([sys.executable, lookahead_bench.MAKE_BOOKS, source, "plain-epub2"],
                   check=True, stdout=subprocess.DEVNULL)
    batch = os.path.join(folder, "small")
    os.makedirs(batch, exist_ok=True)
    books = []
    for n in range(count):
        path = os.path.join(batch, f"{n + 1:03d} plain.epub")
        shutil.copyfile(os.path.join(source, "plain-epub2.epub"), path)
        books.append(path)
    return books


def convert_run(args, books, work, name):
    out = os.path.join(work, f"out-convert-{name}")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
        env.pop(key, None)
    env["TEMP"] = os.path.join(work, "tmp")
    os.makedirs(env["TEMP"], exist_ok=True)
    start = time.monotonic()
    r = subprocess.run([args.program, "--convert", "--quiet", "--jobs", str(args.jobs),
                        "--output-folder", out] + books, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    wall = time.monotonic() - start
    return {"wall": wall, "made": lookahead_bench.mobis(out), "status": r.returncode}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--work")
    parser.add_argument("--converter", default="/usr/bin/ebook-convert")
    parser.add_argument("--xargs-nice", type=int, default=10)
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    args.driver = os.path.abspath(args.driver)
    work = args.work or tempfile.mkdtemp(prefix="bq-cli-bench-")
    os.makedirs(work, exist_ok=True)
    batches = {"varied": lookahead_bench.make_batch(work), "small": small_batch(work)}
    k = args.jobs
    results = {name: {"convert": [], "xargs": [], "window": []} for name in batches}
    for n in range(args.runs):
        for name, books in batches.items():
            sub = os.path.join(work, name)
            os.makedirs(sub, exist_ok=True)
            c = convert_run(args, books, sub, name)
            x = lookahead_bench.xargs_run(args, books, k, sub)
            results[name]["convert"].append(c)
            results[name]["xargs"].append(x)
            line = (f"round {n + 1} {name}: --convert {c['wall']:.1f} s ({c['made']} made, "
                    f"status {c['status']}), xargs -P {k} {x['wall']:.1f} s ({x['made']} made)")
            if name == "varied":
                w = lookahead_bench.window_run(args, books, k, sub)
                results[name]["window"].append(w)
                line += f", window {w['wall']:.1f} s ({w['made']} made, gap {w['gap']} ms)"
            print(line, flush=True)

    def median(runs):
        return statistics.median(r["wall"] for r in runs)

    print()
    for name in batches:
        c = median(results[name]["convert"])
        x = median(results[name]["xargs"])
        print(f"{name:7} ({len(batches[name])} books): --convert {c:.1f} s, xargs -P {k} "
              f"{x:.1f} s, --convert / xargs = {c / x:.2f} "
              f"(target <= {0.85 if name == 'varied' else 0.5})")
        if results[name]["window"]:
            w = median(results[name]["window"])
            print(f"{'':7} window {w:.1f} s, window / --convert = {w / c:.2f} (target <= 1.05)")
    print(f"load {os.getloadavg()[0]:.1f} at the end")
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
