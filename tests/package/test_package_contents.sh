#!/usr/bin/env bash
# What the package holds and declares: the program folder with everything the program finds
# beside itself, the /usr/bin link, desktop entry, theme icons, AppStream metadata, manual page
# and documents; Depends with the converter's run-time packages (packaging/runtime-depends.txt)
# and the shared libraries dpkg-shlibdeps found, never calibre; Built-Using naming the calibre
# the runtime was made from; an Installed-Size within 5 % of what its files take; a copyright
# file with calibre's paragraphs. Then lintian: no error, no warning, and the programs built
# with Debian's hardening flags.
#
# Usage: test_package_contents.sh BUILD_DIR RUNTIME_DEPENDS_FILE CALIBRE_LAUNCHER
set -euo pipefail
build=$1
depends_file=$2
launcher=$3
debs=("$build"/brindlequill_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no brindlequill_*.deb in $build"; exit 1; }
deb=${debs[0]}
failed=0
fail() { echo "FAIL: $*"; failed=1; }

listing=$(dpkg-deb -c "$deb" | awk '{ print $6 ($7 == "->" ? " -> " $8 : "") }')
for f in ./usr/lib/brindlequill/brindlequill ./usr/lib/brindlequill/libbqunzip.so \
    ./usr/lib/brindlequill/mobi-check \
    ./usr/lib/brindlequill/HAND-M.CUR ./usr/lib/brindlequill/drag.ico \
    ./usr/lib/brindlequill/x/o.cjs "./usr/bin/brindlequill -> ../lib/brindlequill/brindlequill" \
    ./usr/share/applications/org.brindlequill.Brindlequill.desktop \
    ./usr/share/metainfo/org.brindlequill.Brindlequill.metainfo.xml \
    ./usr/share/icons/hicolor/scalable/apps/org.brindlequill.Brindlequill.svg \
    ./usr/share/man/man1/brindlequill.1.gz ./usr/share/doc/brindlequill/copyright \
    ./usr/share/doc/brindlequill/changelog.gz; do
    grep -qxF -- "$f" <<< "$listing" || fail "the package lacks $f"
done
for size in 16 22 24 32 48 64 128 256; do
    f=./usr/share/icons/hicolor/${size}x${size}/apps/org.brindlequill.Brindlequill.png
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
for lib in libqt6widgets6 libzip4 libdeflate0 libmobi0; do
    grep -Eq "(^|, )$lib \(>= " <<< "$depends" || fail "Depends lacks a versioned $lib (dpkg-shlibdeps)"
done

# The calibre the runtime was made from: the source package of the installed launcher's.
calibre_package=$(dpkg-query -S "$(realpath "$launcher")" | cut -d: -f1)
calibre_source=$(dpkg-query -W -f='${source:Package} (= ${source:Version})' "$calibre_package")
built_using=$(dpkg-deb -f "$deb" Built-Using)
echo "Built-Using: $built_using"
[ "$built_using" = "$calibre_source" ] || fail "Built-Using is '$built_using', not '$calibre_source'"

# Installed-Size against the files' sizes as installed (KiB).
declared=$(dpkg-deb -f "$deb" Installed-Size)
files=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sum += $3 } END { printf "%d", sum / 1024 }')
echo "Installed-Size: $declared KiB; the files take $files KiB"
awk -v d="$declared" -v f="$files" 'BEGIN { exit !(d >= f * 0.95 && d <= f * 1.05) }' ||
    fail "Installed-Size $declared KiB is more than 5 % off the files' $files KiB"

copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/brindlequill/copyright)
grep -q '^Files: calibre/\*$' <<< "$copyright" ||
    fail "the copyright file has no paragraph for the carried calibre"

if command -v lintian > /dev/null; then
    # Informational tags shown too: the hardening ones say a program lacks Debian's flags.
    report=$(lintian --display-info --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) ||
        fail "lintian reports errors or warnings"
    echo "$report"
    grep -q 'hardening-' <<< "$report" && fail "lintian finds programs built without Debian's hardening flags"
else
    fail "lintian is not installed (scripts/deps.sh test)"
fi
[ "$failed" -eq 0 ] && echo "PASS: $(basename "$deb"), $(stat -c %s "$deb") bytes"
exit "$failed"
