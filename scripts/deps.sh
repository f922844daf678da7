#!/usr/bin/env bash
# Installs the Debian 12 packages Brindlequill needs, only those that are missing:
#   scripts/deps.sh run    what building and running the program needs (scripts/run.sh)
#   scripts/deps.sh test   that, and what testing it needs (scripts/test.sh)
# Installing goes through sudo unless it runs as root.
set -euo pipefail

run_packages=(
    # building
    cmake ninja-build g++ pkg-config
    # the converter runtime's own PalmDOC module, built against calibre's Python
    python3-dev
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    libzip-dev libdeflate-dev zlib1g-dev
    # reading each new MOBI back before it replaces an old one
    libmobi-dev
    # the converter carried inside the program
    calibre python3
    # the icon's sizes, rendered from its drawing
    librsvg2-bin
    # Debian's build flags (dpkg-buildflags) and the Debian package (dpkg-shlibdeps)
    dpkg-dev
    # the fonts the window asks for (Arial's metric twin)
    fonts-liberation fonts-dejavu-core
)

test_packages=(
    # the sources' format
    clang-format
    # a MOBI reader that is not calibre, an EPUB checker, Info-ZIP's tools, a display
    libmobi-tools epubcheck unzip zip xvfb xauth
    # a private session bus for what the desktop is told of runs
    dbus-daemon
    # an output folder on a FAT stick (an image made by mkfs.vfat, mounted through FUSE)
    dosfstools fusefat
    # refreshing the evidence for what the converter runtime keeps and needs
    strace
    # checking the desktop entry, the AppStream metadata and the Debian package, and the clean
    # Debian 12 root it is installed into by a test
    desktop-file-utils appstream lintian mmdebstrap
    # the recipe for converting on many machines, tried with local workers
    parallel
    # a power cut while a book is put in place: an ext4 image on a loop device
    e2fsprogs mount
    # the benchmarks: peak memory
    time
    # fuzzing and sanitizers with clang
    clang libclang-rt-14-dev
    # screenshots
    imagemagick
)

case "${1:-}" in
    run) packages=("${run_packages[@]}") ;;
    test) packages=("${run_packages[@]}" "${test_packages[@]}") ;;
    *)
        echo "usage: scripts/deps.sh run|test" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo > /dev/null; then
            echo "These packages are missing: ${missing[*]}" >&2
            echo "Install them as root (su -c 'bash $0 $1'), or install sudo." >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
