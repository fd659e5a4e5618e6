#!/bin/sh
# Runs a Windows test program that opens windows (tests/win32/run_windowed.sh) in a Wine
# prefix whose system and dialog fonts are mapped to a font with CJK glyphs: Wine's own have
# none, and texts would be measured and drawn as boxes.
#
#   run_windowed_cjk.sh PREFIX WINE PROGRAM [ARGS...]
set -u
prefix=$1
wine=$2
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
for font in System "MS Shell Dlg" "MS Shell Dlg 2" Tahoma; do
  "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" \
    /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
done
"$wineserver" -w  # the registry is written when the server ends
exec sh "$(dirname "$0")/../win32/run_windowed.sh" "$@"
