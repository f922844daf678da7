#!/usr/bin/python3
"""Writes out the converter runtime archive that an installed program carries among its resources.

The archive is compiled into the executable uncompressed, so its bytes lie whole inside the file.
Scanning from the end, the first end-of-central-directory record whose central directory and
first local header sit where it says gives the archive (the archive's own stored pylib.zip lies
before it). The result must be a ZIP with ebook-convert at its root.

Usage: carried_runtime.py EXECUTABLE OUTPUT.zip
"""

import io
import struct
import sys
import zipfile


def carried_archive(data):
    pos = len(data)
    while True:
        pos = data.rfind(b"PK\x05\x06", 0, pos)
        if pos < 0:
            return None
        if pos + 22 <= len(data):
            entries, cd_size, cd_offset, comment = struct.unpack_from("<10xHIIH", data, pos)
            cd = pos - cd_size
            start = cd - cd_offset
            if (entries and start >= 0 and data[start:start + 4] == b"PK\x03\x04"
                    and data[cd:cd + 4] == b"PK\x01\x02"):
                archive = data[start:pos + 22 + comment]
                try:
                    with zipfile.ZipFile(io.BytesIO(archive)) as z:
                        if "ebook-convert" in z.namelist() and len(z.infolist()) == entries:
                            return archive
                except zipfile.BadZipFile:
                    pass


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], "rb") as f:
        data = f.read()
    archive = carried_archive(data)
    if archive is None:
        sys.exit(f"{argv[1]} carries no converter runtime archive")
    with open(argv[2], "wb") as f:
        f.write(archive)
    print(f"{argv[1]}: runtime archive of {len(archive)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
