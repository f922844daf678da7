#!/usr/bin/env bash
# Installs what is missing, checks the sources' format, then builds and runs every test twice: a plain build (build/), and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), which skips the slow
# end-to-end conversions.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh"

jobs=$(nproc)
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" --target format-check
ctest --test-dir "$top/build" --output-on-failure -j "$jobs"

archive="$top/build/runtime/calibre-runtime.zip"
asan_args=(-DBQ_SANITIZE=ON -DBQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
[ -f "$archive" ] && asan_args+=("-DBQ_RUNTIME_ARCHIVE=$archive")
"$top/scripts/build.sh" "$top/build-asan" "${asan_args[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" -LE slow
