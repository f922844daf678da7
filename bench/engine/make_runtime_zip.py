#!/usr/bin/python3
"""Writes a ZIP shaped like the converter runtime: the installed calibre's library and resources
trees (links dereferenced) under lib/calibre and share/calibre, plus a launcher at the root. The
archive is the one the unzip benchmark builds, so both benchmarks time the same thing.

Usage: make_runtime_zip.py ARCHIVE     (does nothing when ARCHIVE exists)
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "unzip"))
from unzip_bench import build_archive  # noqa: E402


def main():
    path = sys.argv[1]
    if not os.path.exists(path):
        build_archive(path)


if __name__ == "__main__":
    main()
