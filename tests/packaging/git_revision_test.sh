#!/bin/sh
# cmake/GitRevision.cmake: the header names no revision outside a checkout of its own (a
# source tarball, also one unpacked inside another repository), names the checkout's HEAD in
# one, is left untouched while the revision stays, and follows a new commit.
#
#   git_revision_test.sh CMAKE GITREVISION_SCRIPT
set -u
cmake=$1
script=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
run() {  # run SOURCE_DIR
  "$cmake" -DSOURCE_DIR="$1" -DOUTPUT="$dir/vqr_revision.h" -P "$script" || fail "script failed for $1"
}
suffix() {
  sed -n 's/^#define VQR_REVISION_SUFFIX "\(.*\)"$/\1/p' "$dir/vqr_revision.h"
}
git_() {
  git -c user.name=test -c user.email=test@example.com -c init.defaultBranch=main "$@"
}

# A tarball: no .git at all.
mkdir -p "$dir/tarball"
run "$dir/tarball"
[ "$(suffix)" = "" ] || fail "no checkout: suffix '$(suffix)', wanted none"

# A checkout with a commit, and a tarball unpacked inside it.
git_ init -q "$dir/repo"
mkdir -p "$dir/repo/unpacked"
echo one >"$dir/repo/file"
git_ -C "$dir/repo" add file
git_ -C "$dir/repo" commit -q -m one
run "$dir/repo/unpacked"
[ "$(suffix)" = "" ] || fail "tarball inside a checkout: suffix '$(suffix)', wanted none"

first=$(git -C "$dir/repo" rev-parse --short=7 HEAD)
run "$dir/repo"
[ "$(suffix)" = " (g$first)" ] || fail "checkout: suffix '$(suffix)', wanted ' (g$first)'"

# The same revision again: the file keeps its old time, so nothing including it is rebuilt.
touch -d '2000-01-01 00:00:00' "$dir/vqr_revision.h"
run "$dir/repo"
[ "$(date -r "$dir/vqr_revision.h" +%Y)" = 2000 ] || fail "unchanged revision rewrote the header"

# A new commit: the header follows it.
echo two >"$dir/repo/file"
git_ -C "$dir/repo" commit -q -a -m two
second=$(git -C "$dir/repo" rev-parse --short=7 HEAD)
run "$dir/repo"
[ "$(suffix)" = " (g$second)" ] || fail "new commit: suffix '$(suffix)', wanted ' (g$second)'"

[ "$failures" -eq 0 ] && echo "revision header: all cases passed"
[ "$failures" -eq 0 ]
