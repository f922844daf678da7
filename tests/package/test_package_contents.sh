#!/usr/bin/env bash
# What the package holds and declares: the program folder with everything the program finds
# beside itself, the /usr/bin link, desktop entry, theme icons, AppStream metadata, manual page
# and documents; Depends with the converter's run-time packages (packaging/runtime-depends.txt)
# and the shared libraries dpkg-shlibdeps found, never calibre. Then lintian: no error (its
# warnings are shown).
#
# Usage: test_package_contents.sh BUILD_DIR RUNTIME_DEPENDS_FILE
set -euo pipefail
build=$1
depends_file=$2
debs=("$build"/brindlequill_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no brindlequill_*.deb in $build"; exit 1; }
deb=${debs[0]}
failed=0
fail() { echo "FAIL: $*"; failed=1; }

listing=$(dpkg-deb -c "$deb" | awk '{ print $6 ($7 == "->" ? " -> " $8 : "") }')
for f in ./usr/lib/brindlequill/brindlequill ./usr/lib/brindlequill/libbqunzip.so \
    ./usr/lib/brindlequill/HAND-M.CUR ./usr/lib/brindlequill/drag.ico \
    ./usr/lib/brindlequill/x/o.cjs "./usr/bin/brindlequill -> ../lib/brindlequill/brindlequill" \
    ./usr/share/applications/brindlequill.desktop \
    ./usr/share/metainfo/org.brindlequill.Brindlequill.metainfo.xml \
    ./usr/share/man/man1/brindlequill.1.gz ./usr/share/doc/brindlequill/copyright \
    ./usr/share/doc/brindlequill/changelog.gz; do
    grep -qxF -- "$f" <<< "$listing" || fail "the package lacks $f"
done
for size in 16 22 24 32 48 64 128 256; do
    f=./usr/share/icons/hicolor/${size}x${size}/apps/brindlequill.png
    grep -qxF -- "$f" <<< "$listing" || fail "the package lacks $f"
done
grep -q '^\./usr/lib/brindlequill/Samples/[^/]*\.epub$' <<< "$listing" ||
    fail "the package holds no sample book in /usr/lib/brindlequill/Samples"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(tr ',' '\n' <<< "$depends" | sed -E 's/^ *//; s/[ (].*//' | sort -u)
while IFS=$'\t' read -r pkg mark _; do
    [ "$mark" = "-" ] || continue
    grep -qxF "$pkg" <<< "$names" || fail "Depends lacks $pkg, which the converter needs"
done < <(grep -v '^#' "$depends_file")
grep -q '^calibre' <<< "$names" && fail "the package depends on calibre"
# dpkg-shlibdeps' share: the program's own libraries, versioned.
for lib in libqt6widgets6 libzip4 libdeflate0; do
    grep -Eq "(^|, )$lib \(>= " <<< "$depends" || fail "Depends lacks a versioned $lib (dpkg-shlibdeps)"
done

if command -v lintian > /dev/null; then
    lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"
else
    fail "lintian is not installed (scripts/deps.sh)"
fi
[ "$failed" -eq 0 ] && echo "PASS: $(basename "$deb"), $(stat -c %s "$deb") bytes"
exit "$failed"
