#!/bin/sh
# vqr03-cli speaks the language --lang names, else the one the locale names (on Windows the
# user's UI language), and refuses a language it does not have. Runs the demo up to the
# listing in each case.
#
#   cli_language_test.sh [EMULATOR] VQR03_CLI
set -u
if [ $# -eq 2 ]; then run="$1 $2"; else run=$1; fi
failures=0

# check NAME EXPECTED_LINE ENV... -- ARGS...: the first device line (the search label) is
# EXPECTED_LINE.
check() {
  name=$1 expected=$2
  shift 2
  envs=
  while [ "$1" != -- ]; do envs="$envs $1"; shift; done
  shift
  # shellcheck disable=SC2086 # the variables and the command are split on purpose
  device=$(env -u LC_ALL -u LC_MESSAGES -u LANG $envs $run --demo --list "$@" 2>/dev/null |
    tr -d '\r' | grep '^device: ' | head -n 1)
  if [ "$device" != "device: $expected" ]; then
    echo "FAIL: $name: '$device', not 'device: $expected'"
    failures=$((failures + 1))
  fi
}

check "--lang zh-TW" "尋 找 中.....   0" -- --lang zh-TW
check "--lang en" "Searching.....   0" -- --lang en
check "--lang ja" "検索中.....   0" -- --lang ja
check "--lang zh-CN" "搜 索 中.....   0" -- --lang zh-CN
check "--lang=en" "Searching.....   0" -- --lang=en
check "--lang over LANG" "Searching.....   0" LANG=ja_JP.UTF-8 -- --lang en

# The locale, where the program reads one (not under Wine, whose programs see the UI language).
if [ $# -eq 1 ]; then
  check "LANG=zh_CN.UTF-8" "搜 索 中.....   0" LANG=zh_CN.UTF-8 --
  check "LANG=ja_JP.UTF-8" "検索中.....   0" LANG=ja_JP.UTF-8 --
  check "LC_MESSAGES over LANG" "Searching.....   0" LC_MESSAGES=en_US.UTF-8 LANG=ja_JP.UTF-8 --
  check "LC_ALL=C over LANG" "尋 找 中.....   0" LC_ALL=C LANG=en_US.UTF-8 --
  check "no locale" "尋 找 中.....   0" --
else
  # Under Wine the Windows UI language, which Wine takes from the locale's name: C gives
  # English there (UI language 0x0409), where the locale's own rule gives Traditional Chinese.
  check "UI language of LC_ALL=ja_JP.UTF-8" "検索中.....   0" LC_ALL=ja_JP.UTF-8 --
  check "UI language of LC_ALL=zh_CN.UTF-8" "搜 索 中.....   0" LC_ALL=zh_CN.UTF-8 --
  check "UI language of LC_ALL=zh_TW.UTF-8" "尋 找 中.....   0" LC_ALL=zh_TW.UTF-8 --
  check "UI language of LC_ALL=C" "Searching.....   0" LC_ALL=C --
fi

# A language it does not have: exit 2, and the listing never starts.
out=$($run --demo --list --lang fr 2>&1)
status=$?
if [ $status -ne 2 ] || ! printf '%s' "$out" | grep -q 'unknown language fr: use zh-TW, en, ja or zh-CN'; then
  echo "FAIL: --lang fr: exit $status, $out"
  failures=$((failures + 1))
fi
if printf '%s' "$out" | grep -q '^device: '; then
  echo "FAIL: --lang fr still searched"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "all languages as chosen"
[ "$failures" -eq 0 ]
