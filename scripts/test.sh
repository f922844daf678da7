#!/usr/bin/env bash
# Installs what is missing, checks the sources' format, then builds and runs every test twice: a plain build (build/), and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), which skips the slow
# end-to-end conversions. Between them, the program alone is built as a packager builds it
# (Release, build-release/). Warnings are errors in all three.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
"$top/scripts/deps.sh" test

jobs=$(nproc)
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBQ_WERROR=ON
cmake --build "$top/build" --target format-check
ctest --test-dir "$top/build" --output-on-failure -j "$jobs"

archive="$top/build/runtime/calibre-runtime.zip"
reuse=()
[ -f "$archive" ] && reuse+=("-DBQ_RUNTIME_ARCHIVE=$archive")
cmake -S "$top" -B "$top/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBQ_WERROR=ON \
    -DBQ_BUILD_TESTS=OFF -DBQ_BUILD_BENCH=OFF "${reuse[@]}"
cmake --build "$top/build-release" --target brindlequill

asan_args=(-DBQ_SANITIZE=ON -DBQ_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug -DBQ_WERROR=ON "${reuse[@]}")
"$top/scripts/build.sh" "$top/build-asan" "${asan_args[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" -LE slow
