#!/usr/bin/python3
"""Writes a ZIP shaped like the converter runtime: the installed calibre's library and resources
trees (links dereferenced) under lib/calibre and share/calibre, plus a launcher at the root.

Usage: make_runtime_zip.py ARCHIVE     (does nothing when ARCHIVE exists)
"""
import os
import stat
import sys
import time
import zipfile

TREES = [("/usr/lib/calibre", "lib/calibre"), ("/usr/share/calibre", "share/calibre")]


def main():
    path = sys.argv[1]
    if os.path.exists(path):
        return
    tmp = path + ".part"
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        info = zipfile.ZipInfo("ebook-convert", date_time=time.localtime()[:6])
        info.external_attr = (stat.S_IFREG | 0o755) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        zf.writestr(info, b"#!/bin/sh\nexec /usr/bin/ebook-convert \"$@\"\n")
        for root, arcroot in TREES:
            for folder, dirs, files in os.walk(root, followlinks=True):
                dirs.sort()
                rel = os.path.relpath(folder, root)
                arcfolder = arcroot if rel == "." else arcroot + "/" + rel
                zf.write(folder, arcfolder + "/")
                for name in sorted(files):
                    full = os.path.join(folder, name)
                    if os.path.isfile(full):
                        zf.write(full, arcfolder + "/" + name)
    os.replace(tmp, path)


if __name__ == "__main__":
    main()
