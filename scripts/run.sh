#!/usr/bin/env bash
# Run it as yourself: checks for a display, installs what building and running need (through
# sudo, only what is missing), builds Brindlequill and starts it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Brindlequill needs a graphical display, and none was found (DISPLAY and WAYLAND_DISPLAY" >&2
    echo "are not set). Run this from a desktop session. To build only:" >&2
    echo "    bash scripts/deps.sh run && bash scripts/build.sh build" >&2
    exit 1
fi
"$top/scripts/deps.sh" run
"$top/scripts/build.sh" "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec "$top/build/program/brindlequill" "$@"
