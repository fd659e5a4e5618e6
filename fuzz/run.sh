#!/usr/bin/env bash
# Builds every libFuzzer target through the `fuzz` preset (clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each briefly: FUZZ_SECONDS per target, default 18 (eight
# targets: about two and a half minutes of fuzzing in CI).
#
# For a longer run of one target, keep its corpus between runs (README, "Fuzzing", lists the
# targets and the figures of one run of each):
#   cmake --preset fuzz && cmake --build --preset fuzz --target check_package_fuzz
#   mkdir -p build/fuzz/corpus-check_package_fuzz
#   build/fuzz/fuzz/check_package_fuzz -max_total_time=3600 -jobs=2 build/fuzz/corpus-check_package_fuzz
# A crash leaves its input as crash-* in the working directory; run the target on that file to
# reproduce it. Each target starts from the sample inputs committed in fuzz/corpus/NAME (valid
# packages, catalogs, pages, signatures and texts), which it reads but never writes; what it
# finds goes into build/fuzz/corpus-NAME.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-18}"
cd "$root"
cmake --preset fuzz >/dev/null
# Every target is a fuzz/NAME_fuzz.cpp; only they (and what they link) are built.
targets=()
for source in "$root"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"
out="$root/build/fuzz"
for name in "${targets[@]}"; do
  target="$out/fuzz/$name"
  mkdir -p "$out/corpus-$name"
  echo "--- $name, ${seconds} s"
  samples=()
  if [ -d "$root/fuzz/corpus/$name" ]; then samples=("$root/fuzz/corpus/$name"); fi
  if ! "$target" -max_total_time="$seconds" -max_len=4200 "$out/corpus-$name" "${samples[@]}" \
    >"$out/$name.log" 2>&1; then
    cat "$out/$name.log"
    exit 1
  fi
  tail -n 2 "$out/$name.log"
done
