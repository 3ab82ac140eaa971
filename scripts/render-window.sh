#!/usr/bin/env bash
# Renders the main window, compact and in factory mode, to PNG files on Qt's
# offscreen platform: scripts/render-window.sh [OUT_DIR] (default: shots/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/shots}
build=${BUILD_DIR:-$root/build}
mkdir -p "$out"
cmake --build "$build" --target render_window >/dev/null
export QT_QPA_PLATFORM=offscreen
"$build/tests/render_window" "$out/main-window-compact.png"
"$build/tests/render_window" "$out/main-window-factory.png" factory
echo "rendered: $out/main-window-compact.png $out/main-window-factory.png"
