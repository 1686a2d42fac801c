#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine with the DLLs it needs on its path:
#
#   scripts/windows/wine-run.sh [--prefix DIR] [--qt DIR | --bare] [--test-log] program.exe [argument ...]
#
# --prefix   the Wine prefix (default: $WINEPREFIX, else ~/.wine); made on first use,
#            once, even when several programs start at the same moment, with its
#            Desktop and other shell folders inside it rather than linked to the home
# --qt       the Qt built for Windows (default: $CORVANE_QT_WIN, else build-qt.sh --path)
# --bare     no DLL paths at all: the program finds only what lies beside it (a package
#            folder proving itself complete)
# --test-log the program is a Qt Test executable: its log is written to a file and printed
#            afterwards (Qt Test under Wine sends the log meant for standard output to the
#            debugger channel when standard output is a pipe, so CTest would show nothing)
# The Qt DLLs, its plug-ins and the mingw runtime are found through WINEPATH and
# QT_PLUGIN_PATH, so a build directory runs as it is, without copying DLLs beside each
# program; QT_QPA_PLATFORM is handed on. CMake uses this script as the emulator of the
# cross build: CTest and the build's own tool runs come through here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

qt=${CORVANE_QT_WIN:-}
bare=0
test_log=0
while [ $# -gt 0 ]; do
    case "$1" in
        --prefix) WINEPREFIX=$(realpath -m "${2:?--prefix needs a directory}"); export WINEPREFIX; shift 2 ;;
        --qt) qt=${2:?--qt needs a directory}; shift 2 ;;
        --bare) bare=1; shift ;;
        --test-log) test_log=1; shift ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: wine-run.sh [--prefix DIR] [--qt DIR | --bare] [--test-log] program.exe [argument ...]" >&2; exit 2; }

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

unset WINEPATH WINEQT_PLUGIN_PATH
if [ "$bare" -eq 0 ]; then
    [ -n "$qt" ] || qt=$("$here/build-qt.sh" --path)
    gcc_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
    pthread_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")
    export WINEPATH="$(windows_path "$qt/bin");$(windows_path "$gcc_runtime");$(windows_path "$pthread_runtime")"
    # Wine hands variables starting with QT_ (like PATH, HOME, TEMP) to Windows programs
    # only through their WINE-prefixed names.
    export WINEQT_PLUGIN_PATH=$(windows_path "$qt/plugins")
fi
[ -z "${QT_QPA_PLATFORM:-}" ] || export WINEQT_QPA_PLATFORM=$QT_QPA_PLATFORM
# No Mono or Gecko installer dialogs when a prefix is made; no Linux menu entries or
# desktop files made from the shell links the updater writes; no debug chatter.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export WINEDEBUG=${WINEDEBUG:--all}

prefix=${WINEPREFIX:-$HOME/.wine}
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            echo "wine-run: making the Wine prefix $prefix (takes a few seconds)" >&2
            WINEPREFIX=$prefix wineboot --init >/dev/null 2>&1
            WINEPREFIX=$prefix wineserver --wait
            # Wine links the user's shell folders (Desktop, Documents, ...) to the Unix
            # home; shortcuts made under Wine must stay inside the prefix.
            for folder in "$prefix"/drive_c/users/*/*; do
                if [ -L "$folder" ]; then
                    rm "$folder"
                    mkdir "$folder"
                fi
            done
        fi
    ) 9>"$prefix.lock"
fi

# Qt's offscreen platform on Windows reads font files from one directory (QT_QPA_FONTDIR),
# not from the system: give it the Latin and CJK fonts of this machine, or it draws no text.
if [ "$bare" -eq 0 ] && [ -z "${QT_QPA_FONTDIR:-}" ]; then
    fonts=$prefix/qt-fonts
    if [ ! -d "$fonts" ]; then
        mkdir -p "$fonts.tmp"
        for file in /usr/share/fonts/truetype/dejavu/*.ttf /usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc; do
            [ -f "$file" ] && ln -sf "$file" "$fonts.tmp/"
        done
        mv -T "$fonts.tmp" "$fonts" 2>/dev/null || rm -rf "$fonts.tmp"
    fi
    export WINEQT_QPA_FONTDIR=$(windows_path "$fonts")
fi

if [ "$test_log" -eq 0 ]; then
    exec wine "$@"
fi
log=$(mktemp "${TMPDIR:-/tmp}/wine-test-log.XXXXXX")
trap 'rm -f "$log"' EXIT
status=0
wine "$@" -o "$(windows_path "$log"),txt" || status=$?
cat "$log"
exit "$status"
