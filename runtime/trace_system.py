#!/usr/bin/python3
"""Records what the carried converter runtime takes from the system it runs on.

This is the evidence behind the package's run-time dependencies (packaging/runtime-depends.txt,
made from it by packaging/runtime_depends.py). The runtime archive is unpacked with Info-ZIP
unzip, and its ebook-convert converts every book of tests/runtime/make_books.py (all of them,
under the same locales as trace_conversions.py) under strace. Two files are written:

  evidence/system-files.txt   each file outside the unpacked runtime that a conversion used, and
                              how: executed (the interpreter), loaded (native code mapped to
                              run: libraries, Qt plugins, Python's native modules), module
                              (Python code imported from the system) or read (data and files
                              only looked into, like Qt plugins whose metadata Qt reads), with
                              the number of conversions that did
  evidence/system-linked.txt  each shared library the carried native modules (plugins/*.so) link
                              to, as the dynamic loader finds it, needed (named by a module) or
                              indirect (named by another library), with the first module that
                              needs it: a module a different book loads must find its libraries

Only files below /usr, /bin, /sbin and /lib* count: configuration under /etc (also through a
link), caches, the temporary folder and the books themselves say nothing about packages. Nor do
the site's .pth files and the modules they import: the interpreter reads whatever the machine's
site folders hold at every start, so a bare start of the interpreter is traced too and its
site-folder files are left out.

Usage: trace_system.py ARCHIVE [EVIDENCE_FOLDER]   (default: evidence/ beside this script)
Environment: CALIBRE_LANGS as for trace_conversions.py.
"""

import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM = ("/usr/", "/bin/", "/sbin/", "/lib/", "/lib32/", "/lib64/", "/libx32/")
CALL = re.compile(r'^(\d+)\s+(openat|open|execve)\((?:AT_FDCWD, )?"([^"]+)"')
RESUMED = re.compile(r'^(\d+)\s+<\.\.\. (?:openat|open) resumed>.*= (\d+)')
MMAP_EXEC = re.compile(r'^(\d+)\s+mmap\([^,]+, \d+, [A-Z_|]*PROT_EXEC[A-Z_|]*, [^,]+, (\d+),')
RESULT = re.compile(r'= (\d+)$')
PYTHON_DIRS = ("/usr/lib/python3", "/usr/local/lib/python3")
TRACE = "trace=openat,open,execve,mmap"


def kind_of(path, mapped, executed):
    """executed, loaded (native code mapped for running), module (Python), or read."""
    if path in executed:
        return "executed"
    if path in mapped:
        return "loaded"
    if path.startswith(PYTHON_DIRS) and path.endswith((".py", ".pyc")):
        return "module"
    return "read"


def system_files_of(log, runtime):
    """{absolute path outside the runtime: kind} for what the strace log shows used."""
    opened, mapped, executed = set(), set(), set()
    fds = {}  # (thread, fd) -> path, to tell libraries mapped for running from files read
    pending = {}
    with open(log, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip()
            m = CALL.match(line)
            if m:
                tid, call, path = m.group(1), m.group(2), os.path.normpath(m.group(3))
                if "= -1" in line:
                    continue
                if call == "execve":
                    executed.add(path)
                    continue
                r = RESULT.search(line)
                if r:
                    fds[(tid, r.group(1))] = path
                elif "<unfinished" in line:
                    pending[tid] = path
                opened.add(path)
                continue
            m = RESUMED.match(line)
            if m and m.group(1) in pending:
                fds[(m.group(1), m.group(2))] = pending.pop(m.group(1))
                continue
            m = MMAP_EXEC.match(line)
            if m and (m.group(1), m.group(2)) in fds:
                mapped.add(fds[(m.group(1), m.group(2))])
    found = {}
    for path in opened | executed:
        if path.startswith(runtime + "/") or not path.startswith(SYSTEM):
            continue
        if path.endswith(".pth") or os.path.realpath(path).startswith("/etc/"):
            continue
        if os.path.isfile(path):
            found[path] = kind_of(path, mapped, executed)
    return found


def site_start_files(strace, interpreter, tmp):
    """Files below site folders that a bare start of the interpreter opens (.pth imports)."""
    log = os.path.join(tmp, "strace-bare.txt")
    subprocess.run([strace, "-f", "-qq", "-e", TRACE, "-o", log, interpreter, "-IB", "-c", "pass"],
                   check=True)
    return {p for p in system_files_of(log, "/nonexistent")
            if "/dist-packages/" in p or "/site-packages/" in p}


def interpreter_of(launcher):
    with open(launcher, encoding="utf-8") as f:
        first = f.readline()
    if not first.startswith("#!"):
        sys.exit(f"{launcher} has no interpreter line")
    return first[2:].split()[0]


def needed_names(library):
    """The sonames a shared object names itself (its NEEDED entries)."""
    r = subprocess.run(["objdump", "-p", library], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"objdump {library}: {r.stderr.strip()}")
    return set(re.findall(r"^\s*NEEDED\s+(\S+)", r.stdout, re.M))


def linked_libraries(runtime):
    """{library path: (needed or indirect, first module needing it)} for plugins/*.so, as ldd
    resolves them; needed: the module names the library itself, indirect: another library does."""
    found = {}
    plugins = os.path.join(runtime, "plugins")
    for name in sorted(os.listdir(plugins)):
        if not name.endswith(".so"):
            continue
        module = os.path.join(plugins, name)
        needed = needed_names(module)
        r = subprocess.run(["ldd", module], capture_output=True, text=True)
        if r.returncode != 0:
            sys.exit(f"ldd {name}: {r.stderr.strip()}")
        for line in r.stdout.splitlines():
            if "not found" in line:
                sys.exit(f"plugins/{name}: {line.strip()} (install the library first)")
            m = re.search(r"^\s*(\S+)\s+=>\s*(/\S+)\s+\(0x", line)
            if not m:
                continue
            path = os.path.normpath(m.group(2))
            how = "needed" if m.group(1) in needed else "indirect"
            old = found.get(path)
            if old is None or (how == "needed" and old[0] == "indirect"):
                found[path] = (how, f"plugins/{name}")
    return found


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    archive = os.path.abspath(argv[1])
    evidence = argv[2] if len(argv) > 2 else os.path.join(HERE, "evidence")
    strace = shutil.which("strace")
    if not strace:
        sys.exit("trace_system: strace is missing (scripts/deps.sh installs it)")
    langs = os.environ.get("CALIBRE_LANGS", "C.UTF-8 de_DE.UTF-8 ja_JP.UTF-8").split()
    make_books = os.path.join(HERE, "..", "tests", "runtime", "make_books.py")
    files = collections.Counter()
    runs = 0
    with tempfile.TemporaryDirectory(prefix="bq-trace-system-") as tmp:
        runtime = os.path.join(tmp, "calibre")
        subprocess.run(["unzip", "-q", archive, "-d", runtime], check=True)
        converter = os.path.join(runtime, "ebook-convert")
        interpreter = interpreter_of(converter)
        site_start = site_start_files(strace, interpreter, tmp)
        books = os.path.join(tmp, "books")
        subprocess.run([sys.executable, make_books, books, "--all"], check=True,
                       stdout=subprocess.DEVNULL)
        jobs = [(b, "C.UTF-8") for b in sorted(os.listdir(books))]
        jobs += [("plain-epub2.epub", lang) for lang in langs if lang != "C.UTF-8"]
        for n, (book, lang) in enumerate(jobs):
            log = os.path.join(tmp, f"strace{n}.txt")
            cmd = [strace, "-f", "-qq", "-e", TRACE, "-o", log,
                   converter, os.path.join(books, book),
                   os.path.join(tmp, f"out{n}.mobi")]
            env = dict(os.environ, LANG=lang, LC_ALL=lang, LANGUAGE="", TMPDIR=tmp)
            r = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            print(f"{book} [{lang}]: exit {r.returncode}", file=sys.stderr)
            runs += 1
            used = system_files_of(log, runtime)
            # The launcher's interpreter line starts it: the kernel runs it, nothing opens it.
            used.setdefault(interpreter, "executed")
            for path, kind in used.items():
                if path not in site_start:
                    files[(path, kind)] += 1
        linked = linked_libraries(runtime)
    with open(os.path.join(evidence, "system-files.txt"), "w") as f:
        f.write(f"# files outside the unpacked runtime that conversions used, how (executed, "
                f"loaded: native code mapped to run, module: Python, read), and the number of "
                f"conversions (of {runs})\n")
        for path, kind in sorted(files):
            f.write(f"{path}\t{kind}\t{files[(path, kind)]}\n")
    with open(os.path.join(evidence, "system-linked.txt"), "w") as f:
        f.write("# shared libraries the runtime's native modules link to: needed (a module names "
                "it) or indirect (a library does), with the first module that needs each\n")
        for path in sorted(linked):
            f.write(f"{path}\t{linked[path][0]}\t{linked[path][1]}\n")
    print(f"{len(files)} system files over {runs} conversions, {len(linked)} linked libraries",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
