#!/bin/sh
# unzip-one exits 0 exactly when the archive came out whole: checked on a good archive, an
# encrypted one with the right, a wrong and no password, a truncated one, a missing one and a
# wrong command line.
set -u
unzip_one=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$work/src/sub"
printf 'alpha\n' > "$work/src/a.txt"
printf '#!/bin/sh\necho hi\n' > "$work/src/sub/run"
chmod 755 "$work/src/sub/run"
(cd "$work/src" && zip -q -r "$work/good.zip" a.txt sub) || fail "zip"
(cd "$work/src" && zip -q -P secret "$work/enc.zip" a.txt) || fail "zip -P"
head -c 100 "$work/good.zip" > "$work/truncated.zip"

"$unzip_one" "$work/good.zip" "$work/out" > "$work/log" 2>&1 || fail "good archive: $(cat "$work/log")"
cmp -s "$work/src/a.txt" "$work/out/a.txt" || fail "a.txt differs"
cmp -s "$work/src/sub/run" "$work/out/sub/run" || fail "sub/run differs"
[ -x "$work/out/sub/run" ] || fail "sub/run lost its execute bit"
grep -q "a.txt" "$work/log" || fail "the engine's messages were not printed"

"$unzip_one" "$work/enc.zip" "$work/enc-right" secret > "$work/log" 2>&1 || fail "right password: $(cat "$work/log")"
cmp -s "$work/src/a.txt" "$work/enc-right/a.txt" || fail "decrypted a.txt differs"

for case in "enc.zip enc-wrong wrong" "enc.zip enc-none" "truncated.zip trunc" "missing.zip missing"; do
    set -- $case
    archive=$1; folder=$2; shift 2
    if "$unzip_one" "$work/$archive" "$work/$folder" "$@" > "$work/log" 2>&1; then
        fail "$case reported success: $(cat "$work/log")"
    fi
    [ -s "$work/log" ] || fail "$case failed without a message"
done
[ ! -e "$work/enc-wrong/a.txt" ] || fail "a wrong password left a file"

"$unzip_one" > /dev/null 2>&1
[ $? -eq 2 ] || fail "a wrong command line must exit 2"
echo "unzip-one exit status: all cases as expected"
