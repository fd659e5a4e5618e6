#!/usr/bin/env bash
# Builds the package check's libFuzzer target with clang++ and runs it briefly (FUZZ_SECONDS,
# default 20). Needs clang with libFuzzer; does nothing else.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_OUT:-$root/build/fuzz}"
seconds="${FUZZ_SECONDS:-20}"
mkdir -p "$out/corpus-check-package"

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" -I"$root" \
  "$root/fuzz/check_package_fuzz.cpp" "$root/src/content/package.cpp" "$root/src/ui/text_format.cpp" \
  -o "$out/check_package_fuzz"

"$out/check_package_fuzz" -max_total_time="$seconds" -max_len=4100 \
  "$out/corpus-check-package"
