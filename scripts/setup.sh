#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo use, when missing.
#   scripts/setup.sh             the Linux build, tests, demo, screenshots and fuzzers
#   scripts/setup.sh --windows   also the Windows cross build and Wine (scripts/windows/)
set -euo pipefail

# Every program the scripts call, by the script that calls it:
#   build, tests        cmake g++ make ccache pkg-config, Qt 5 (Core, Gui, Widgets, Sql + SQLite)
#   screenshots         xvfb-run (xvfb, xauth), xwininfo (x11-utils), xdotool, import/convert
#                       (imagemagick), x11-apps, the fonts of the three languages
#   demo, bench, tests  python3, sqlite3; crash-safety test: strace
#   fuzz.sh             clang with its libFuzzer and sanitizer runtimes (libclang-rt-14-dev)
#   --windows           the mingw-w64 cross compiler (posix threads), Wine, and for building
#                       Qt and libsodium for Windows from Debian's sources: tcl (SQLite
#                       amalgamation), dpkg-dev (dpkg-source), xz-utils, perl; autoconf,
#                       automake, libtool (libsodium's source package has no configure script)
packages=(
    cmake g++ make ccache pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    xvfb xauth x11-apps x11-utils xdotool imagemagick fonts-noto-cjk fonts-dejavu-core
    sqlite3 strace python3
    libsodium-dev libssl-dev
    clang libclang-rt-14-dev
)
case "${1:-}" in
    "") ;;
    --windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 tcl dpkg-dev xz-utils perl autoconf automake libtool osslsigncode openssl) ;;
    *) echo "usage: scripts/setup.sh [--windows]" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >/dev/null || true
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
