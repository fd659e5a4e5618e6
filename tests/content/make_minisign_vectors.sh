#!/usr/bin/env bash
# Makes the signature test vectors with the `minisign` tool and writes them as a C++ header
# (minisign_vectors.inc beside this script). Run once; the output is committed, so the tests
# (natively and under Wine, where reading files by their Linux paths is awkward) compare our
# code with an implementation we did not write, without needing minisign at test time.
# Usage: make_minisign_vectors.sh [OUTPUT]   (needs minisign; takes a minute for the scrypt
# of the encrypted key)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
output="${1:-$here/minisign_vectors.inc}"
command -v minisign >/dev/null || { echo "minisign is not installed" >&2; exit 1; }
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# 1000 random bytes (zeros and high bytes included) and an empty file.
head -c 1000 /dev/urandom >data.bin
: >empty.bin

# The main key pair, unencrypted as `minisign -G -W` makes it.
minisign -G -W -p main.pub -s main.key >/dev/null
prehashed_comment="$(printf 'timestamp:1700000000\tfile:data.bin\thashed')"
minisign -S -s main.key -m data.bin -x prehashed.minisig -t "$prehashed_comment" >/dev/null
minisign -S -l -s main.key -m data.bin -x legacy.minisig -t "legacy vector" >/dev/null
minisign -S -s main.key -m empty.bin -x empty.minisig -t "empty file" >/dev/null

# A password-protected key, and the same key after `minisign -C -W` removed the password
# (its key derivation fields stay filled in and its checksum is set).
printf 'vector\nvector\n' | minisign -G -p encrypted.pub -s encrypted.key >/dev/null 2>&1
cp encrypted.key unlocked.key
printf 'vector\n' | minisign -C -W -s unlocked.key >/dev/null 2>&1
minisign -S -s unlocked.key -m data.bin -x unlocked.minisig -t "unlocked key" >/dev/null

text() {  # text NAME FILE: a string_view of the file's lines
  echo "inline constexpr std::string_view $1 ="
  sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/\t/\\t/g' -e 's/^/    "/' -e 's/$/\\n"/' "$2"
  echo "    ;"
}

{
  echo "// Signature test vectors made by $(minisign -v) with make_minisign_vectors.sh; generated"
  echo "// once and committed. Do not edit: run the script again to replace them all."
  echo "// clang-format off"
  echo "#pragma once"
  echo "#include <cstdint>"
  echo "#include <string_view>"
  echo "namespace vqr::sig::vectors {"
  echo "inline constexpr std::uint8_t kData[] = {"
  od -An -v -tx1 data.bin | sed -e 's/ \([0-9a-f][0-9a-f]\)/0x\1,/g' -e 's/^/    /'
  echo "};"
  text kPublicKeyFile main.pub
  text kSecretKeyFile main.key
  echo "inline constexpr std::string_view kPrehashedComment = \"$(printf '%s' "$prehashed_comment" | sed 's/\t/\\t/g')\";"
  text kPrehashedSignature prehashed.minisig
  echo 'inline constexpr std::string_view kLegacyComment = "legacy vector";'
  text kLegacySignature legacy.minisig
  echo 'inline constexpr std::string_view kEmptyComment = "empty file";'
  text kEmptyDataSignature empty.minisig
  text kEncryptedSecretKeyFile encrypted.key
  text kUnlockedPublicKeyFile encrypted.pub
  text kUnlockedSecretKeyFile unlocked.key
  echo 'inline constexpr std::string_view kUnlockedComment = "unlocked key";'
  text kUnlockedSignature unlocked.minisig
  echo "}  // namespace vqr::sig::vectors"
  echo "// clang-format on"
} >"$output"
echo "wrote $output"
