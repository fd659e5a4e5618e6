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
  "$root/fuzz/check_package_fuzz.cpp" "$root/src/formats/package.cpp" \
  "$root/src/formats/catalog.cpp" "$root/src/text/text_format.cpp" \
  -o "$out/check_package_fuzz"

"$out/check_package_fuzz" -max_total_time="$seconds" -max_len=4100 \
  "$out/corpus-check-package"

# The catalog parser, the image-list line and the image header parser.
mkdir -p "$out/corpus-catalog-reader"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" -I"$root" -I"$root/resources" \
  "$root/fuzz/catalog_reader_fuzz.cpp" "$root/src/formats/catalog.cpp" \
  "$root/src/formats/image.cpp" "$root/src/formats/package.cpp" \
  "$root/src/workflow/image_list.cpp" "$root/src/text/text_format.cpp" \
  -o "$out/catalog_reader_fuzz"
"$out/catalog_reader_fuzz" -max_total_time="$seconds" -max_len=2100 "$out/corpus-catalog-reader"
