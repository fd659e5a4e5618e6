#!/bin/sh
# Each program's --version: exit status 0 and one line "NAME VERSION", followed by
# " (gREVISION)" when the sources are a git checkout, where REVISION is a commit of it.
#
#   version_test.sh VERSION SOURCE_DIR EMULATOR PROGRAM...   (EMULATOR may be "", or wine)
set -u
version=$1
source=$2
emulator=$3
shift 3
failures=0
checkout=no
if [ -e "$source/.git" ] && git -C "$source" rev-parse HEAD >/dev/null 2>&1; then
  checkout=yes
fi
for program in "$@"; do
  name=$(basename "$program" .exe)
  # Standard output only: Wine may say things of its own on standard error.
  # shellcheck disable=SC2086 # an empty emulator is no word at all
  out=$($emulator "$program" --version 2>/dev/null)
  status=$?
  out=$(printf '%s' "$out" | tr -d '\r')
  line="$name $version"
  case $out in
    "$line") revision= ;;
    "$line (g"*")") revision=${out#"$line (g"}; revision=${revision%")"} ;;
    *) echo "FAIL: $name --version printed '$out', wanted '$line' with or without a revision"
       failures=$((failures + 1)); continue ;;
  esac
  [ "$status" -eq 0 ] || { echo "FAIL: $name --version exited $status"; failures=$((failures + 1)); }
  if [ "$checkout" = yes ]; then
    if [ -z "$revision" ] || ! git -C "$source" cat-file -e "$revision^{commit}" 2>/dev/null; then
      echo "FAIL: $name --version printed '$out': no revision of this checkout"
      failures=$((failures + 1))
    fi
  elif [ -n "$revision" ]; then
    echo "FAIL: $name --version printed '$out': a revision outside a checkout"
    failures=$((failures + 1))
  fi
  echo "$out"
done
[ "$failures" -eq 0 ]
