#!/usr/bin/python3
"""Writes the Debian package's copyright file (machine-readable format 1.0).

It is the program's own file (packaging/copyright: its header, its Files paragraphs and its
licences) with a paragraph added for each part of calibre the carried converter runtime holds.
Those paragraphs are taken from the copyright file of the Debian package the runtime was made
from (its packages are named in the runtime's .source record): for every calibre file in the
archive, the paragraph of calibre's file that governs that file's source path (the last one
whose Files pattern matches it). Their Files patterns keep calibre's own source paths, under
"calibre/"; a licence they name that the program's file does not define comes with calibre's
text of it.

Usage: make_copyright.py --head packaging/copyright --archive calibre-runtime.zip
                         --source calibre-runtime.source --output copyright
                         [--calibre-copyright FILE]
"""

import argparse
import io
import re
import sys
import zipfile

# Where calibre's native modules come from in its source tree (setup/extensions.json; the
# headless platform plugin is built from src/calibre/headless). A module the runtime carries
# must be named here, so that its licence is looked up and never assumed.
NATIVE_SOURCES = {
    "freetype": ["src/calibre/utils/fonts/freetype.cpp"],
    "icu": ["src/calibre/utils/icu.c", "src/calibre/utils/icu_calibre_utils.h"],
    "imageops": ["src/calibre/utils/imageops/imageops.cpp",
                 "src/calibre/utils/imageops/quantize.cpp",
                 "src/calibre/utils/imageops/ordered_dither.cpp",
                 "src/calibre/utils/imageops/imageops.h"],
    "libheadless": ["src/calibre/headless/main.cpp", "src/calibre/headless/headless_backingstore.cpp",
                    "src/calibre/headless/headless_integration.cpp",
                    "src/calibre/headless/fontconfig_database.cpp"],
    "progress_indicator": ["src/calibre/gui2/progress_indicator/QProgressIndicator.cpp",
                           "src/calibre/gui2/progress_indicator/CalibreStyle.cpp",
                           "src/calibre/gui2/progress_indicator/QProgressIndicator.h"],
    "speedup": ["src/calibre/utils/speedup.c"],
    "tokenizer": ["src/tinycss/tokenizer.c"],
    "uchardet": ["src/calibre/ebooks/uchardet.c"],
}
# The archive's own files, made from this source tree (runtime/launcher.py,
# runtime/warm_converter.py, and the PalmDOC module from runtime/palmdoc/, carried in place of
# calibre's cPalmdoc): covered by the program's paragraphs.
OWN_FILES = {"ebook-convert", "warm-converter", "plugins/cPalmdoc.so"}
PREFIX = "calibre/"


def fail(message):
    sys.exit(f"make_copyright: {message}")


def paragraphs(text):
    """The file's paragraphs, each a list of (field, value lines)."""
    result, current = [], []
    for line in text.splitlines():
        if not line.strip():
            if current:
                result.append(current)
                current = []
        elif line[0] in " \t":
            if not current:
                fail(f"a continuation line starts a paragraph: {line!r}")
            current[-1][1].append(line)
        else:
            name, sep, value = line.partition(":")
            if not sep:
                fail(f"not a field: {line!r}")
            current.append((name, [value.strip()]))
    if current:
        result.append(current)
    return result


def field(paragraph, name):
    for key, lines in paragraph:
        if key.lower() == name.lower():
            return lines
    return None


def render(paragraph):
    out = []
    for key, lines in paragraph:
        out.append(f"{key}: {lines[0]}".rstrip())
        out.extend(lines[1:])
    return "\n".join(out) + "\n"


def pattern_regex(pattern):
    """A Files pattern as a regular expression: "*" any text, "?" one character."""
    body = "".join(".*" if c == "*" else "." if c == "?" else re.escape(c) for c in pattern)
    return re.compile(body + r"\Z")


def files_patterns(paragraph):
    lines = field(paragraph, "Files")
    return " ".join(lines).split() if lines else []


def carried_sources(archive):
    """calibre's source paths of the files the runtime archive carries."""
    sources = []
    with zipfile.ZipFile(archive) as z:
        for name in z.namelist():
            if name.endswith("/") or name in OWN_FILES:
                continue
            if name == "pylib.zip":
                with zipfile.ZipFile(io.BytesIO(z.read(name))) as pylib:
                    for module in pylib.namelist():
                        if not module.endswith(".pyc"):
                            fail(f"pylib.zip holds {module}, which is not bytecode")
                        sources.append("src/" + module[:-1])
            elif name.startswith("resources/"):
                sources.append(name)
            elif name.startswith("plugins/") and name.endswith(".so"):
                module = name[len("plugins/"):-len(".so")]
                if module not in NATIVE_SOURCES:
                    fail(f"the runtime carries the native module {module}: name its sources "
                         f"in NATIVE_SOURCES")
                sources.extend(NATIVE_SOURCES[module])
            else:
                fail(f"the runtime carries {name}, whose origin this script does not know")
    return sources


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--head", required=True)
    ap.add_argument("--archive", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--output", required=True)
    ap.add_argument("--calibre-copyright")
    args = ap.parse_args()

    try:
        record = dict(line.split(": ", 1) for line in open(args.source, encoding="utf-8")
                      .read().splitlines() if line)
    except OSError as e:
        fail(f"cannot read {args.source} ({e.strerror}): make the runtime archive again with "
             f"this build (it writes that record beside the archive)")
    packages = record.get("Packages", "").split()
    if not packages:
        fail(f"{args.source} names no Debian package")
    calibre_file = args.calibre_copyright or f"/usr/share/doc/{packages[0]}/copyright"
    try:
        calibre = paragraphs(open(calibre_file, encoding="utf-8").read())
    except OSError as e:
        fail(f"cannot read calibre's copyright file {calibre_file}: {e.strerror}")
    own = paragraphs(open(args.head, encoding="utf-8").read())

    governing = {}
    stanzas = [p for p in calibre if field(p, "Files")]
    for path in carried_sources(args.archive):
        chosen = None
        for index, stanza in enumerate(stanzas):
            for pattern in files_patterns(stanza):
                if pattern_regex(pattern).match(path):
                    chosen = (index, pattern)
        if chosen is None:
            fail(f"no paragraph of {calibre_file} covers {path}")
        governing.setdefault(chosen[0], set()).add(chosen[1])

    added = []
    for index in sorted(governing):
        stanza = stanzas[index]
        patterns = [p for p in files_patterns(stanza) if p in governing[index]]
        paragraph = [("Files", [" ".join(PREFIX + p for p in patterns)])]
        paragraph += [(k, v) for k, v in stanza if k.lower() != "files"]
        added.append(paragraph)

    header, rest = own[0], own[1:]
    own_files = [p for p in rest if field(p, "Files")]
    own_licenses = [p for p in rest if field(p, "License") and not field(p, "Files")]
    if not field(header, "Format"):
        fail(f"{args.head} does not start with a Format header")
    if len(own_files) + len(own_licenses) != len(rest):
        fail(f"{args.head} holds a paragraph that is neither Files nor License")
    defined = {field(p, "License")[0] for p in own_licenses}
    used = {field(p, "License")[0] for p in added if len(field(p, "License")) == 1}
    for paragraph in calibre:
        name = field(paragraph, "License")
        if name and not field(paragraph, "Files") and name[0] in used - defined:
            own_licenses.append(paragraph)
            defined.add(name[0])
    missing = used - defined
    if missing:
        fail(f"no text for the licences {sorted(missing)}")

    text = "\n".join(render(p) for p in [header] + own_files + added + own_licenses)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
