#!/bin/sh
# Takes docs/win32-window.png: vqr03.exe under Wine, in a Wine virtual desktop (which draws
# the window frame and title) inside Xvfb. Wine's own System, MS Shell Dlg and Tahoma fonts
# have no CJK glyphs, so the prefix maps them to WenQuanYi Micro Hei (fonts-wqy-microhei).
#
#   scripts/win32-screenshot.sh [BUILD_DIR] [OUTPUT_PNG]
#
# BUILD_DIR defaults to build/w32 (cmake --preset win32 -B build/w32 && cmake --build build/w32).
# VQR_SHOT_DPI (default 96) is the prefix's display DPI (LogPixels); the desktop grows with it,
# e.g. VQR_SHOT_DPI=144 for 150 %.
# Needs: wine64, xvfb, xauth, imagemagick, fonts-wqy-microhei.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/w32}
out=${2:-$root/docs/win32-window.png}
case $build in /*) ;; *) build=$PWD/$build ;; esac
case $out in /*) ;; *) out=$PWD/$out ;; esac
exe=$build/src/ui/win32/vqr03.exe
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
# Seconds of searching before the picture is taken, and the program's arguments (--demo).
seconds=${VQR_SHOT_SECONDS:-3}
args=${VQR_SHOT_ARGS:-}
dpi=${VQR_SHOT_DPI:-96}
desktop="$((640 * dpi / 96))x$((520 * dpi / 96))"

if [ ! -f "$exe" ]; then
  echo "no $exe: build the win32 preset first" >&2
  exit 1
fi

# Run the rest inside a fresh X server of its own.
if [ "${VQR_IN_XVFB:-}" != 1 ]; then
  VQR_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 ${desktop}x24" "$0" "$build" "$out"
fi

# A prefix of its own, so the font mapping touches no other prefix.
export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/vqr03-screenshot-prefix}
export WINEDEBUG=-all
mkdir -p "$(dirname "$WINEPREFIX")"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a fresh prefix

for font in System "MS Shell Dlg" "MS Shell Dlg 2" Tahoma; do
  "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" \
    /d "WenQuanYi Micro Hei" /f >/dev/null
done
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null
"$wineserver" -w  # the registry is written when the server ends

# shellcheck disable=SC2086 # the arguments are split on purpose
"$wine" explorer /desktop=shot,"$desktop" "$("$wine" winepath -w "$exe")" $args &
program=$!
sleep $((5 + seconds))
import -window root "$out"
"$wineserver" -k  # ends this prefix's processes only
wait "$program" || true
echo "wrote $out"
