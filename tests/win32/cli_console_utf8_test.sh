#!/bin/sh
# vqr03-cli.exe writing to a Windows console (Wine's, on a pseudo-terminal): the demo's texts
# arrive as the UTF-8 they are, not as one character per byte nor as replacement characters
# for bytes cut out of their sequence.
#
#   cli_console_utf8_test.sh PREFIX WINE VQR03_CLI_EXE
set -u
prefix=$1
wine=$2
cli=$3
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a fresh prefix
mkdir -p "$(dirname "$prefix")"
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# script(1) gives the program a terminal, which Wine turns into a console. The texts looked
# for are Traditional Chinese, chosen with --lang: the program would take the Windows UI
# language, which Wine derives from LC_ALL alone (C and C.UTF-8 give English), and setting
# LC_ALL to a locale the host has not installed makes Wine write its console as ASCII.
script -qec "'$wine' '$cli' --demo --yes --wait 10 --lang zh-TW" /dev/null >"$out"
status=$?
"$(dirname "$wine")/wineserver" -w
failures=0
[ "$status" -eq 0 ] || { echo "FAIL: exit $status"; failures=$((failures + 1)); }
# The console draws with escape sequences: drop them to read the text.
text=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$out" | tr -d '\r')
for want in "device: 尋 找 中....." "device: 版本 : [ 1002 ]" "list:  2301  [ 繁體中文介面 ]" \
  "list:  2303  [ 日本語インターフェース ]" "message [更新完成]: OK" "button: - 更 新 完 成 -"; do
  printf '%s\n' "$text" | grep -qF -- "$want" || { echo "FAIL: no '$want'"; failures=$((failures + 1)); }
done
if grep -q "$(printf '\357\277\275')" "$out"; then
  echo "FAIL: replacement characters in the output"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || printf '%s\n' "$text" | head -20
[ "$failures" -eq 0 ]
