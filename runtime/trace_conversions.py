#!/usr/bin/python3
"""Records what the installed calibre converter uses while it converts EPUB books to MOBI.

This is the evidence behind runtime/manifest.txt. For every book made by
tests/runtime/make_books.py (all of them, the trace-only ones included) it runs the installed
ebook-convert, under strace when strace is installed, and records:

  evidence/modules.txt   each calibre module that was imported, with the number of books
                         (out of all) that imported it
  evidence/files.txt     each file below calibre's library and resource folders that a
                         conversion opened (Python's own opens and, with strace, native ones:
                         extension modules, Qt plugins, data read by C code)

Usage: trace_conversions.py [EVIDENCE_FOLDER]   (default: evidence/ beside this script)
Environment: CALIBRE_LANGS (default "C.UTF-8 de_DE.UTF-8 ja_JP.UTF-8") - a conversion is traced for each
locale too, because calibre reads its translations only for a non-English locale.
"""

import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER = "/usr/bin/ebook-convert"
ROOTS = ("/usr/lib/calibre/", "/usr/share/calibre/")

# Runs the installed launcher as calibre does, and writes the calibre modules that were loaded
# when the interpreter exits.
WRAPPER = r"""
import atexit, runpy, sys
out = sys.argv.pop(1)
def dump():
    with open(out, 'w') as f:
        for name, mod in sorted(sys.modules.items()):
            origin = getattr(getattr(mod, '__spec__', None), 'origin', None) or ''
            f.write(name + '\t' + str(origin) + '\n')
atexit.register(dump)
launcher = sys.argv.pop(1)
sys.argv[0] = launcher
runpy.run_path(launcher, run_name='__main__')
"""


def interpreter_of(launcher):
    with open(launcher, "rb") as f:
        first = f.readline().decode().strip()
    if not first.startswith("#!"):
        sys.exit(f"{launcher} has no interpreter line")
    return first[2:].split()[0]


def main(argv):
    evidence = argv[1] if len(argv) > 1 else os.path.join(HERE, "evidence")
    os.makedirs(evidence, exist_ok=True)
    python = interpreter_of(LAUNCHER)
    strace = shutil.which("strace")
    langs = os.environ.get("CALIBRE_LANGS", "C.UTF-8 de_DE.UTF-8 ja_JP.UTF-8").split()
    make_books = os.path.join(HERE, "..", "tests", "runtime", "make_books.py")
    modules = collections.Counter()
    files = collections.Counter()
    runs = 0
    with tempfile.TemporaryDirectory(prefix="bq-trace-") as tmp:
        books = os.path.join(tmp, "books")
        subprocess.run([python, make_books, books, "--all"], check=True,
                       stdout=subprocess.DEVNULL)
        wrapper = os.path.join(tmp, "wrapper.py")
        with open(wrapper, "w") as f:
            f.write(WRAPPER)
        jobs = [(b, "C.UTF-8") for b in sorted(os.listdir(books))]
        jobs += [("plain-epub2.epub", lang) for lang in langs if lang != "C.UTF-8"]
        for n, (book, lang) in enumerate(jobs):
            dump = os.path.join(tmp, f"modules{n}.txt")
            log = os.path.join(tmp, f"strace{n}.txt")
            cmd = [python, wrapper, dump, LAUNCHER, os.path.join(books, book),
                   os.path.join(tmp, f"out{n}.mobi")]
            if strace:
                cmd = [strace, "-f", "-qq", "-e", "trace=openat,open,execve", "-o", log] + cmd
            env = dict(os.environ, LANG=lang, LC_ALL=lang, LANGUAGE="")
            r = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            print(f"{book} [{lang}]: exit {r.returncode}", file=sys.stderr)
            runs += 1
            seen = set()
            if os.path.exists(dump):
                for line in open(dump, encoding="utf-8"):
                    name, _, origin = line.rstrip("\n").partition("\t")
                    if origin.startswith(ROOTS) or name.startswith("calibre_extensions"):
                        modules[name] += 1
                    if origin.startswith(ROOTS):
                        seen.add(origin)
            if strace and os.path.exists(log):
                for line in open(log, encoding="utf-8", errors="replace"):
                    if "= -1" in line:
                        continue
                    m = re.search(r'"(/usr/(?:lib|share)/calibre/[^"]*)"', line)
                    if m and not m.group(1).endswith("/"):
                        seen.add(m.group(1))
            for path in seen:
                if os.path.isfile(path):
                    files[path] += 1
    with open(os.path.join(evidence, "modules.txt"), "w") as f:
        f.write(f"# calibre modules imported, with the number of conversions (of {runs})\n")
        for name in sorted(modules):
            f.write(f"{name}\t{modules[name]}\n")
    with open(os.path.join(evidence, "files.txt"), "w") as f:
        f.write(f"# files opened below {' and '.join(ROOTS)} "
                f"with the number of conversions (of {runs})\n")
        for path in sorted(files):
            f.write(f"{path}\t{files[path]}\n")
    print(f"{len(modules)} modules, {len(files)} files over {runs} conversions",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
