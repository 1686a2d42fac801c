#!/usr/bin/env bash
# Builds libsodium for Windows (mingw-w64, 64 bit, static library) from Debian's own source
# package of the libsodium the Linux build uses, once per machine, into a cache directory,
# and prints its path. The Windows build links it statically for package signatures.
#
#   scripts/windows/build-sodium.sh            build when missing, print the directory
#   scripts/windows/build-sodium.sh --path     only print where the directory is (or would be)
#
# CORVANE_SODIUM_WIN    the directory to use or build (default below the user's cache
#                       directory: ${XDG_CACHE_HOME:-~/.cache}/corvane/libsodium-<version>-mingw-<hash>,
#                       the hash taken over Debian's version, the configure options and the
#                       compiler version)
# CORVANE_SODIUM_JOBS   parallel compile jobs (default: number of cores)
#
# Installs what is missing from Debian's packages (scripts/setup.sh --windows). The sources
# come through apt like Qt's (debian-source.sh: a private apt directory, the system's apt
# unchanged). The directory is never half-present: libsodium is built and installed
# elsewhere and moved into place at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source-path=SCRIPTDIR source=debian-source.sh
. "$root/scripts/windows/debian-source.sh"

only_path=0
case "${1:-}" in
    "") ;;
    --path) only_path=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
esac

log() { echo "build-sodium: $*" >&2; }

[ "$only_path" -eq 1 ] || "$root/scripts/setup.sh" --windows >&2

# The same libsodium as on Linux: the version of the installed libsodium-dev, else apt's
# candidate.
sodium_debian_version=$(debian_package_version libsodium-dev)
[ -n "$sodium_debian_version" ] || { log "cannot tell which libsodium version to build (libsodium-dev unknown to apt)"; exit 1; }
sodium_upstream=${sodium_debian_version#*:}
sodium_upstream=${sodium_upstream%%-*}

# A static library only, so the package folder needs no further DLL. The posix flavour of
# the cross compiler, like the project and Qt.
host=x86_64-w64-mingw32
compiler=$host-gcc-posix
configure_options=("--host=$host" --disable-shared --enable-static)
compiler_version=$($compiler -dumpfullversion 2>/dev/null || echo none)
options_hash=$(printf '%s\n' "$sodium_debian_version" "${configure_options[@]}" "$compiler" "$compiler_version" \
    | sha256sum | cut -c1-10)
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/corvane
sodium_dir=$(realpath -m "${CORVANE_SODIUM_WIN:-$cache_root/libsodium-$sodium_upstream-mingw-$options_hash}")

if [ "$only_path" -eq 1 ] || [ -f "$sodium_dir/lib/libsodium.a" ]; then
    echo "$sodium_dir"
    exit 0
fi

# Everything in progress lives in one work directory beside the result (same file system,
# so the final move is a rename); it is made anew on each run, the build is short.
parent=$(dirname "$sodium_dir")
work=$parent/.work-$(basename "$sodium_dir")
rm -rf "$work"
mkdir -p "$work"
start=$(date +%s)

sodium_dsc=libsodium_${sodium_debian_version#*:}.dsc
log "fetching libsodium $sodium_debian_version"
debian_source_fetch "$work/apt" "$work/download" "libsodium=$sodium_debian_version" \
    || { log "could not fetch the sources"; exit 1; }
# Unpacked with Debian's patches applied; the source package carries no configure script
# (Debian's own build runs autoreconf too).
src=$work/libsodium
dpkg-source --no-check -x "$work/download/$sodium_dsc" "$src" >/dev/null
(cd "$src" && autoreconf -fi >"$work/autoreconf.log" 2>&1) \
    || { tail -20 "$work/autoreconf.log" >&2; log "autoreconf failed"; exit 1; }

build=$work/build
stage=$work/stage
jobs=${CORVANE_SODIUM_JOBS:-$(nproc)}
mkdir -p "$build"
log "configuring and building libsodium $sodium_upstream for Windows (output in $build/build.log)"
(cd "$build" && CC=$compiler nice -n 10 "$src/configure" --prefix="$sodium_dir" "${configure_options[@]}" >build.log 2>&1 \
    && nice -n 10 make -j"$jobs" >>build.log 2>&1 \
    && make DESTDIR="$stage" install >>build.log 2>&1) \
    || { tail -30 "$build/build.log" >&2; log "build failed (whole output in $build/build.log)"; exit 1; }
[ -f "$stage$sodium_dir/lib/libsodium.a" ] || { log "the build installed no libsodium.a"; exit 1; }
rm -rf "$sodium_dir"
mv "$stage$sodium_dir" "$sodium_dir"
rm -rf "$work"
log "libsodium for Windows is in $sodium_dir ($(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s)"
echo "$sodium_dir"
