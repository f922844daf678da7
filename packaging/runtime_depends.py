#!/usr/bin/python3
"""Turns the carried converter's evidence into the Debian packages it needs at run time.

The evidence (runtime/evidence/system-files.txt and system-linked.txt, written by
runtime/trace_system.py) names every file outside the runtime that traced conversions executed,
loaded as native code, imported as Python modules or read, and every library the runtime's
native modules link to. Each file but those only read is mapped to the
package that owns it (dpkg -S; a cached bytecode file counts as its source, and /lib and /usr/lib
stand for each other on a merged-/usr system). Then:

  - a package that is Essential is left out (every Debian system has it, and a dependency on it
    is an error there);
  - a package whose files the runtime runs itself (the interpreter) or that a carried native
    module links to by name is depended on by name (for the interpreter, pythonX.Y: Debian's
    programs never depend on pythonX.Y-minimal);
  - any other package that another needed package already depends on, directly or through
    others, is marked "implied by" that package and left out of the package's Depends;
  - the rest are the Depends.

The result is packaging/runtime-depends.txt: one needed package a line with one file of the
evidence that it owns, then the implied and Essential ones with theirs. The build reads its
first column (lines without a mark) into the package's Depends.

Usage: runtime_depends.py EVIDENCE_FOLDER OUTPUT          write OUTPUT
       runtime_depends.py EVIDENCE_FOLDER OUTPUT --check  exit 1 when OUTPUT is out of step
"""

import os
import re
import subprocess
import sys

EVIDENCE_FILES = ("system-files.txt", "system-linked.txt")
USED_KINDS = ("executed", "loaded", "module", "needed", "indirect")
DIRECT_KINDS = ("executed", "needed")
HEADER = """\
# Debian packages the carried converter (calibre's ebook-convert) needs at run time.
# Made by packaging/runtime_depends.py from runtime/evidence/system-files.txt and
# system-linked.txt (runtime/trace_system.py); the test package_runtime_depends keeps it in step.
# Columns: package, mark, one file of the evidence that the package owns. The build puts the
# packages without a mark into the package's Depends; "implied-by:X" is pulled in by X, and
# "essential" is on every Debian system.
"""


def evidence_paths(folder):
    """{path: direct} for the files that count: what was executed, loaded as native code or
    imported as a module, and what the native modules link to. Direct: the runtime runs it
    itself (the interpreter) or a carried module names it; the package of such a file is always
    depended on by name. Files only read (data, configuration, plugins Qt looked into without
    loading) belong to the packages of the code that reads them."""
    paths = {}
    for name in EVIDENCE_FILES:
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if not line or line.startswith("#"):
                    continue
                path, kind = line.split("\t")[:2]
                if kind in USED_KINDS:
                    paths[path] = paths.get(path, False) or kind in DIRECT_KINDS
    return paths


def candidates(path):
    """Names under which dpkg may know the file, best first."""
    names = [path]
    m = re.match(r"^(.*)/__pycache__/([^/.]+)\.[^/]*\.pyc$", path)
    if m:
        names.append(f"{m.group(1)}/{m.group(2)}.py")
    real = os.path.realpath(path)
    if real != path:
        names.append(real)
    for name in list(names):
        if name.startswith("/usr/lib/"):
            names.append(name[len("/usr"):])
        elif name.startswith("/lib/"):
            names.append("/usr" + name)
    return list(dict.fromkeys(names))


def owners(names):
    """{path: package} for those of names that dpkg knows."""
    found = {}
    if not names:
        return found
    r = subprocess.run(["dpkg-query", "-S"] + names, capture_output=True, text=True)
    for line in r.stdout.splitlines():
        if line.startswith("diversion "):
            continue
        pkgs, sep, path = line.partition(": ")
        if not sep:
            continue
        pkg = pkgs.split(",")[0].strip().split(":")[0]
        found.setdefault(path.strip(), pkg)
    return found


def package_fields(pkgs):
    """{package: (essential, [names it depends on, alternatives left out])}."""
    fields = {}
    r = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Essential}\t${Pre-Depends}, "
                        "${Depends}\n"] + sorted(pkgs), capture_output=True, text=True)
    for line in r.stdout.splitlines():
        name, essential, deps = line.split("\t")
        needs = []
        for dep in deps.split(","):
            dep = dep.strip()
            if dep and "|" not in dep:
                needs.append(re.split(r"[\s(:]", dep, maxsplit=1)[0])
        fields[name] = (essential == "yes", needs)
    return fields


def derive(folder):
    paths = evidence_paths(folder)
    names = sorted({n for p in paths for n in candidates(p)})
    known = owners(names)
    evidence = {}
    direct = set()
    unowned = []
    for p in sorted(paths):
        pkg = next((known[n] for n in candidates(p) if n in known), None)
        if pkg is None:
            unowned.append(p)
            continue
        # Debian's rule: a program depends on pythonX.Y, which brings pythonX.Y-minimal (the
        # interpreter's own package) and the rest of the standard library.
        m = re.match(r"^(python3\.\d+)-minimal$", pkg)
        if m and paths[p]:
            pkg = m.group(1)
        if paths[p] and pkg not in direct:
            direct.add(pkg)
            evidence[pkg] = p  # the evidence shown is the direct one
        evidence.setdefault(pkg, p)
    calibre = [p for pkg, p in evidence.items() if pkg.startswith("calibre")]
    if calibre:
        sys.exit(f"runtime_depends: the runtime reached into calibre's own files ({calibre[0]}); "
                 f"it must carry what it uses")
    # Every installed package's relations, to find which needed packages others pull in.
    fields = {}
    frontier = set(evidence)
    while frontier:
        got = package_fields(frontier)
        for name in frontier - got.keys():
            got[name] = (False, [])  # a virtual package, or one not installed here
        fields.update(got)
        frontier = {d for _, deps in got.values() for d in deps} - fields.keys()

    def closure(pkg):
        seen, stack = set(), list(fields.get(pkg, (False, []))[1])
        while stack:
            d = stack.pop()
            if d not in seen:
                seen.add(d)
                stack.extend(fields.get(d, (False, []))[1])
        return seen

    reach = {pkg: closure(pkg) for pkg in evidence}
    rows = []
    for pkg in sorted(evidence):
        if fields.get(pkg, (False, []))[0]:
            mark = "essential"
        elif pkg in direct:
            mark = ""
        else:
            by = sorted(o for o in evidence if o != pkg and pkg in reach[o]
                        and not (o in reach[pkg]))
            mark = f"implied-by:{by[0]}" if by else ""
        rows.append((pkg, mark, evidence[pkg]))
    rows.sort(key=lambda r: (r[1] != "", r[1].split(":")[0], r[0]))
    text = HEADER
    for pkg, mark, path in rows:
        text += f"{pkg}\t{mark or '-'}\t{path}\n"
    for p in unowned:
        text += f"# no package owns {p}\n"
    return text


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    text = derive(argv[1])
    if len(argv) > 3 and argv[3] == "--check":
        try:
            current = open(argv[2], encoding="utf-8").read()
        except OSError:
            current = ""
        if current != text:
            import difflib
            sys.stdout.writelines(difflib.unified_diff(current.splitlines(True),
                                                       text.splitlines(True), argv[2], "evidence"))
            print(f"{argv[2]} is out of step with the evidence: run "
                  f"packaging/runtime_depends.py {argv[1]} {argv[2]}")
            return 1
        return 0
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
