#!/bin/sh
# Runs a Windows test program that opens windows: inside an X server of its own (xvfb-run)
# and with a Wine prefix of its own. A shared prefix may still have a Wine desktop bound to
# another, possibly vanished, X display, and window creation then fails.
#
#   run_windowed.sh PREFIX WINE PROGRAM [ARGS...]
#
# VQR_WINE_DPI, when set, is the display DPI the prefix gets (LogPixels), e.g. 144 for 150 %.
set -u
prefix=$1
wine=$2
shift 2
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a fresh prefix
mkdir -p "$(dirname "$prefix")"

"$wineserver" -k 2>/dev/null  # a desktop left from an earlier run belongs to a dead display
"$wineserver" -w
if [ -n "${VQR_WINE_DPI:-}" ]; then
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$VQR_WINE_DPI" \
    /f >/dev/null 2>&1
  "$wineserver" -w  # the registry is written when the server ends
fi
xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$@"
status=$?
"$wineserver" -k 2>/dev/null
"$wineserver" -w
exit $status
