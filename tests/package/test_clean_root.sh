#!/usr/bin/env bash
# The package on a clean Debian 12 without calibre: installs brindlequill_*.deb into a fresh
# root made by mmdebstrap (--variant=apt) with `apt-get install ./brindlequill_*.deb`, which must
# pull in every dependency, then converts each sample book there with the converter the installed
# program carries (its archive, taken out of the installed executable, unpacked under TEMP as the
# program does), and checks outside the root that libmobi's mobitool reads every MOBI whole.
# calibre must not be in the root, and nothing may be left in TEMP.
#
# Usage: test_clean_root.sh BUILD_DIR
# Needs root, mmdebstrap and a Debian mirror for the first run; where it cannot make a root it
# says why and exits 77 (skipped). Between runs it keeps, inside BUILD_DIR only, the clean root
# as a tar file and the dependencies' .deb files, so later runs need no network.
set -euo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
cache="$build/package-test-cache"
skip() {
    echo "SKIPPED: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "making a Debian root and chrooting into it needs root"
command -v mmdebstrap > /dev/null || skip "mmdebstrap is not installed (scripts/deps.sh)"
command -v mobitool > /dev/null || skip "mobitool is not installed (libmobi-tools)"
unshare --mount --propagation private true 2> /dev/null ||
    skip "cannot make a private mount namespace here (unshare --mount)"

debs=("$build"/brindlequill_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no brindlequill_*.deb in $build (cmake --build $build --target package)"; exit 1; }
[ "${#debs[@]}" -eq 1 ] || { echo "FAIL: several packages in $build: ${debs[*]}"; exit 1; }
deb=${debs[0]}

mkdir -p "$cache/debs"
base="$cache/bookworm-apt.tar"
if [ ! -f "$base" ]; then
    echo "Making a clean Debian 12 root with mmdebstrap (once; kept in $cache)"
    if ! mmdebstrap --quiet --variant=apt --format=tar --skip=cleanup/apt/lists bookworm \
        "$base.part" > "$cache/mmdebstrap.log" 2>&1; then
        rm -f "$base.part"
        tail -5 "$cache/mmdebstrap.log"
        skip "mmdebstrap could not make a Debian 12 root (no mirror reachable?): see $cache/mmdebstrap.log"
    fi
    mv "$base.part" "$base"
fi

work=$(mktemp -d "$build/package-test.XXXXXX")
root="$work/root"
cleanup() { rm -rf --one-file-system "$work"; }
trap cleanup EXIT
mkdir "$root"
tar --numeric-owner -C "$root" -xf "$base"

# Runs a command inside the root with /dev and /proc mounted in a namespace of its own: the
# mounts end with the command, whatever happens to this script.
in_root() {
    unshare --mount --propagation private -- sh -c '
        root=$1; shift
        mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" &&
        exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' sh "$root" "$@"
}
size_kib() { du -sx --block-size=1K --exclude=./var/cache/apt/archives "$root/." | cut -f1; }

before=$(size_kib)
cp -p "$deb" "$root/tmp/"
find "$cache/debs" -name '*.deb' -exec cp -p -t "$root/var/cache/apt/archives/" {} +
start=$SECONDS
# dpkg without a sync after every file: the root is thrown away after the test.
in_root apt-get install -y -q --no-install-recommends -o Dpkg::Options::=--force-unsafe-io "/tmp/$(basename "$deb")" > "$work/apt.log" 2>&1 || {
    tail -20 "$work/apt.log"
    echo "FAIL: apt-get install ./$(basename "$deb") did not install in the clean root"
    exit 1
}
echo "installed with its dependencies in $((SECONDS - start)) s"
grep -E '^(Need to get|After this operation)' "$work/apt.log" || true
find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -p -u -t "$cache/debs/" {} +
rm -f "$root/tmp/$(basename "$deb")"
after=$(size_kib)
echo "root: $before KiB before, $after KiB after: the package with its dependencies takes $((after - before)) KiB"
echo "the package alone: $(in_root dpkg-query -W -f='${Installed-Size}' brindlequill) KiB installed," \
    "$(stat -c %s "$deb") bytes to download"

# No calibre: not installed, not reachable.
if in_root dpkg-query -W -f='${Status}\n' calibre 2> /dev/null | grep -q 'install ok'; then
    echo "FAIL: calibre was installed into the root"
    exit 1
fi
for p in usr/bin/ebook-convert usr/lib/calibre usr/share/calibre; do
    [ ! -e "$root/$p" ] || { echo "FAIL: /$p is in the root"; exit 1; }
done

prog="$root/usr/lib/brindlequill"
for f in brindlequill libbqunzip.so HAND-M.CUR drag.ico x/o.cjs; do
    [ -f "$prog/$f" ] || { echo "FAIL: /usr/lib/brindlequill/$f is missing"; exit 1; }
done
[ -x "$root/usr/bin/brindlequill" ] || { echo "FAIL: /usr/bin/brindlequill is missing"; exit 1; }
mapfile -t samples < <(cd "$prog/Samples" 2> /dev/null && find . -maxdepth 1 -name '*.epub' | sort)
[ "${#samples[@]}" -gt 0 ] || { echo "FAIL: no sample books in /usr/lib/brindlequill/Samples"; exit 1; }

# The conversion run's steps with the installed program's own archive: TEMP/calibre.zip,
# unpacked into TEMP/calibre, the archive deleted, one ebook-convert per book, the folder
# deleted at the end.
temp=/tmp/bq-temp
mkdir -p "$root$temp" "$root/root/Desktop"
# A desktop session's runtime folder: without one, Qt inside the converter makes its own under
# TEMP (runtime-root) and leaves it there.
install -d -m 700 "$root/run/user/0"
/usr/bin/python3 "$here/carried_runtime.py" "$prog/brindlequill" "$root$temp/calibre.zip"
unzip -q "$root$temp/calibre.zip" -d "$root$temp/calibre"
rm "$root$temp/calibre.zip"
failed=0
for s in "${samples[@]}"; do
    name=$(basename "$s" .epub)
    out="/root/Desktop/$name.mobi"
    if ! in_root env TEMP=$temp TMPDIR=$temp XDG_RUNTIME_DIR=/run/user/0 "$temp/calibre/ebook-convert" \
        "/usr/lib/brindlequill/Samples/$name.epub" "$out" > "$work/convert-$name.log" 2>&1; then
        tail -15 "$work/convert-$name.log"
        echo "FAIL: converting the sample $name.epub failed in the clean root"
        failed=1
        continue
    fi
    mkdir "$work/mobi-$name"
    if ! mobitool -s -o "$work/mobi-$name" "$root$out" > "$work/mobi-$name.log" 2>&1; then
        tail -5 "$work/mobi-$name.log"
        echo "FAIL: mobitool cannot read $name.mobi whole"
        failed=1
        continue
    fi
    echo "converted $name.epub: $(stat -c %s "$root$out") bytes of MOBI, read whole by mobitool"
done
rm -rf "$root$temp/calibre"
left=$(find "$root$temp" -mindepth 1 | head -5)
[ -z "$left" ] || { echo "FAIL: left in TEMP after the run:"; echo "$left"; failed=1; }
[ "$failed" -eq 0 ] || exit 1
echo "PASS: ${#samples[@]} samples converted on a clean Debian 12 root without calibre"
