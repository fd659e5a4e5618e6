#!/usr/bin/env bash
# Builds the presets and runs every test: Linux, Linux with AddressSanitizer and
# UndefinedBehaviorSanitizer, Linux with ThreadSanitizer, and the Windows cross build under
# Wine (with the Windows programs on Wine's HID stack); then every fuzz target briefly.
# Warnings are errors here. Every preset runs even when an earlier one failed, and each one's
# result is said at the end; any failure fails the run.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$HOME/.wine-vqr03}
export QT_QPA_PLATFORM=offscreen

# Make the Wine prefix once, before tests start Wine programs side by side in it.
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w || true

log=$(mktemp)
trap 'rm -f "$log"' EXIT
results=()
failed=0

# run_preset PRESET: configure, build, test (and for linux the package test); 0 when all held.
run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  cmake --preset "$preset" -DVQR_WERROR=ON || return 1
  cmake --build --preset "$preset" -j "$jobs" || return 1
  echo "=== $preset: tests"
  ctest --preset "$preset" -j "$jobs" | tee "$log"
  local status=${PIPESTATUS[0]}
  # A test that skips itself (a tool it needs is missing) must not pass the run unseen.
  if grep -q '\*\*\*Skipped' "$log"; then
    echo "=== $preset: tests were skipped; install what scripts/setup.sh installs" >&2
    return 1
  fi
  [ "$status" -eq 0 ] || return 1
  if [ "$preset" = linux ]; then bash scripts/package-test.sh build/linux || return 1; fi
  return 0
}

for preset in linux linux-asan linux-tsan win32; do
  if run_preset "$preset"; then
    results+=("$preset: passed")
  else
    results+=("$preset: FAILED")
    failed=1
  fi
done

echo "=== fuzz: a short run of every target"
if bash fuzz/run.sh; then results+=("fuzz: passed"); else results+=("fuzz: FAILED"); failed=1; fi

echo "=== results"
printf '%s\n' "${results[@]}"
if [ "$failed" -ne 0 ]; then
  echo "=== some presets failed" >&2
  exit 1
fi
echo "=== all presets passed"
