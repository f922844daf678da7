#!/usr/bin/python3
"""The runtime's PalmDOC module against calibre's own: speed on 4 KiB records of real book text.

Usage: palmdoc_bench.py OUR_MODULE [--launcher /usr/bin/ebook-convert] [--rounds N]

The records are every 4,096-byte record of the books runtime/palmdoc/fuzz/make_seeds.py finds
(calibre's quick-start guides, the samples, the tests' books). Prints, for each module, the
best of N rounds of compressing all of them (and of decompressing), in KiB/s, and the ratio; and
checks on the way that both give the same bytes.
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "runtime", "palmdoc", "fuzz"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "runtime"))
import make_seeds  # noqa: E402
import test_palmdoc  # noqa: E402


def best_time(function, records, rounds):
    best = None
    for _ in range(rounds):
        start = time.perf_counter()
        for r in records:
            function(r)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("module")
    ap.add_argument("--launcher", default="/usr/bin/ebook-convert")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    test_palmdoc.LAUNCHER = args.launcher
    ours = test_palmdoc.load(args.module)
    theirs = test_palmdoc.load(test_palmdoc.calibre_module_path())
    records = [d for n, d in make_seeds.inputs() if "#" in n and len(d) == make_seeds.RECORD]
    packed = [theirs.compress(r) for r in records]
    if [ours.compress(r) for r in records] != packed:
        sys.exit("palmdoc_bench: the modules give different bytes")
    size = len(records) * make_seeds.RECORD / 1024
    print(f"{len(records)} records of 4 KiB of book text ({size:.0f} KiB), "
          f"compressed to {sum(map(len, packed)) / 1024:.0f} KiB; best of {args.rounds} rounds")
    rows = []
    for what, function, inputs in (("compress", "compress", records),
                                   ("decompress", "decompress", packed)):
        t_calibre = best_time(getattr(theirs, function), inputs, args.rounds)
        t_ours = best_time(getattr(ours, function), inputs, args.rounds)
        rows.append((what, t_calibre, t_ours))
    print(f"{'':12}{'calibre':>16}{'runtime':>16}{'ratio':>10}")
    for what, t_calibre, t_ours in rows:
        print(f"{what:12}{size / t_calibre:>11.0f} KiB/s{size / t_ours:>11.0f} KiB/s"
              f"{t_calibre / t_ours:>9.0f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
