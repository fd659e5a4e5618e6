#!/usr/bin/env bash
# A man page renders without a warning from man and groff, and documents exactly the long
# options the program knows: every option its help lists (for each command given, too) is
# in the page, and every option the page names is one the program has.
#
#   man_page_test.sh PAGE PROGRAM [COMMAND...]
set -uo pipefail
page=$1
program=$2
shift 2
failures=0

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "FAIL: $page renders with warnings:"
  echo "$warnings"
  failures=$((failures + 1))
fi

# The program's options: its help (CLI11), or its usage line (the window takes no --help).
help=$("$program" --help 2>&1)
for command in "$@"; do
  help+=$'\n'$("$program" "$command" --help 2>&1)
  grep -q "^\.B.* $command\b" "$page" || {
    echo "FAIL: $page does not document the command $command"
    failures=$((failures + 1))
  }
done
known=$(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)
documented=$(sed 's/\\-/-/g' "$page" | grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
[ -n "$known" ] || { echo "FAIL: $program shows no options"; failures=$((failures + 1)); }

missing=$(comm -23 <(echo "$known") <(echo "$documented"))
unknown=$(comm -13 <(echo "$known") <(echo "$documented"))
[ -z "$missing" ] || { echo "FAIL: $page lacks" $missing; failures=$((failures + 1)); }
[ -z "$unknown" ] || { echo "FAIL: $page names options $program does not have:" $unknown; failures=$((failures + 1)); }
echo "options:" $known
[ "$failures" -eq 0 ]
