#!/usr/bin/env bash
# Builds the updater and starts it in a throw-away package directory (offscreen when
# there is no display), then shows the log it wrote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" release "$root/build/release" >/dev/null

demo="$root/demo"
rm -rf "$demo" && mkdir -p "$demo/package"
cp "$root/build/release/corvane-updater" "$demo/package/"
cd "$demo/package"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config"
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
timeout 3 ./corvane-updater 1 || true
echo "Log written by the updater:"
cat log/cvUpdaterlog_*.txt
