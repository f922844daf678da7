#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Brindlequill needs.
# Runs as root (or through sudo); installs only what is missing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config clang-format
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    libzip-dev libdeflate-dev zlib1g-dev
    # reading each new MOBI back before it replaces an old one
    libmobi-dev
    # the converter carried inside the program
    calibre python3
    # the icon's sizes, rendered from its drawing
    librsvg2-bin
    # tests: a MOBI reader that is not calibre, an EPUB checker, Info-ZIP's tools, a display
    libmobi-tools epubcheck unzip zip xvfb xauth
    # tests: an output folder on a FAT stick (an image made by mkfs.vfat, mounted through FUSE)
    dosfstools fusefat
    # refreshing the evidence for what the converter runtime keeps and needs
    strace
    # the Debian package: dpkg-shlibdeps, checking the desktop entry and AppStream metadata,
    # lintian, and the clean Debian 12 root it is installed into by a test
    dpkg-dev desktop-file-utils appstream lintian mmdebstrap
    # the benchmarks: peak memory
    time
    # fuzzing and sanitizers with clang
    clang libclang-rt-14-dev
    # screenshots and the fonts the window asks for (Arial's metric twin)
    imagemagick fonts-liberation fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
