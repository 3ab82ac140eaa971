#!/usr/bin/env bash
# Renders the main window, compact, in factory mode and in the middle of an
# upload of the update, to PNG files on Qt's offscreen platform:
# scripts/render-window.sh [OUT_DIR] (default: shots/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/shots}
build=${BUILD_DIR:-$root/build}
mkdir -p "$out"
cmake --build "$build" --target render_window >/dev/null
export QT_QPA_PLATFORM=offscreen
"$build/tests/render_window" "$out/main-window-compact.png"
"$build/tests/render_window" "$out/main-window-factory.png" factory
"$build/tests/render_window" "$out/main-window-upload.png" upload
echo "rendered: $out/main-window-compact.png $out/main-window-factory.png $out/main-window-upload.png"
