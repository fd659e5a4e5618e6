#!/bin/sh
# Saves a picture of the Qt main window in its first state to docs/qt-window.png.
# Usage: scripts/qt-screenshot.sh [BUILD_DIR]   (default build/linux, configured with the
# linux preset). Needs no display: the window is drawn by Qt's offscreen platform.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build/linux"}
cmake --build "$build" --target qt_window_screenshot -j2
mkdir -p "$root/docs"
QT_QPA_PLATFORM=offscreen "$build/tests/qt/qt_window_screenshot" "$root/docs/qt-window.png"
echo "wrote $root/docs/qt-window.png"
