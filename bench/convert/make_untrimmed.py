#!/usr/bin/python3
"""Packs the installed calibre trees, untrimmed, as the runtime benchmark does: the baseline
archive of the conversion benchmark. Usage: make_untrimmed.py OUTPUT.zip [LAUNCHER]"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "runtime"))
import runtime_bench  # noqa: E402

if __name__ == "__main__":
    if not os.path.exists(sys.argv[1]):
        runtime_bench.untrimmed_archive(sys.argv[1], sys.argv[2] if len(sys.argv) > 2
                                        else "/usr/bin/ebook-convert")
    print(sys.argv[1])
