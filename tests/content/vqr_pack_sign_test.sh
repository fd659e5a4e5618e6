#!/usr/bin/env bash
# vqr-pack keygen, sign and verify as processes: files, output lines and exit codes, and the
# round trips with the `minisign` tool in both directions. Without minisign the vqr-pack parts
# still run and the test ends as skipped (exit 77), saying so.
# Usage: vqr_pack_sign_test.sh PATH_TO_VQR_PACK
set -uo pipefail
pack="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() {  # expect WANTED_EXIT DESCRIPTION -- COMMAND...
  local want="$1" what="$2"
  shift 3
  "$@" >"$dir/out" 2>"$dir/err" </dev/null
  local got=$?
  if [ "$got" != "$want" ]; then
    fail "$what: exit $got, wanted $want"; cat "$dir/out" "$dir/err"
  fi
}
contains() {  # contains TEXT DESCRIPTION: in stdout or stderr
  grep -qF -- "$1" "$dir/out" "$dir/err" || { fail "$2: output lacks '$1'"; cat "$dir/out" "$dir/err"; }
}
cd "$dir" || exit 2

# keygen: a private secret key, a minisign .pub file, never over an existing secret key.
expect 0 "keygen" -- "$pack" keygen --secret v.key --public v.pub
[ "$(stat -c %a v.key)" = 600 ] || fail "secret key mode is $(stat -c %a v.key)"
[[ "$(sed -n 1p v.pub)" =~ ^untrusted\ comment:\ minisign\ public\ key\ [0-9A-F]{16}$ ]] ||
  fail "public key comment line: $(sed -n 1p v.pub)"
[[ "$(sed -n 2p v.pub)" =~ ^RW[QRST][A-Za-z0-9+/]{53}$ ]] || fail "public key line: $(sed -n 2p v.pub)"
[ "$(wc -l <v.pub)" = 2 ] || fail "public key file has $(wc -l <v.pub) lines"
cp v.key v.key.before
expect 2 "keygen over an existing secret key" -- "$pack" keygen --secret v.key --public w.pub
contains "already exists" "keygen over an existing secret key"
cmp -s v.key v.key.before || fail "the existing secret key was changed"
[ ! -e w.pub ] || fail "a public key was written although keygen refused"
expect 2 "keygen without --public" -- "$pack" keygen --secret x.key

# sign: FILE.minisig for each file, minisign's default trusted comment, --legacy, a comment.
head -c 5000 /dev/urandom >"image one.bin"
printf 'catalog' >catalog.Bin
expect 0 "sign two files" -- "$pack" sign --secret v.key "image one.bin" catalog.Bin
[ "$(wc -l <"image one.bin.minisig")" = 4 ] || fail "a .minisig is not four lines"
[[ "$(sed -n 2p "image one.bin.minisig")" == RU* ]] || fail "sign did not write a prehashed \"ED\" signature"
[[ "$(sed -n 3p catalog.Bin.minisig)" =~ ^trusted\ comment:\ timestamp:[0-9]+$'\t'file:catalog.Bin$'\t'hashed$ ]] ||
  fail "default trusted comment: $(sed -n 3p catalog.Bin.minisig)"
expect 0 "verify two files" -- "$pack" verify --public v.pub "image one.bin" catalog.Bin
contains "image one.bin: good signature, trusted comment: timestamp:" "verify two files"
contains "catalog.Bin: good signature" "verify two files"
expect 0 "verify with the key line" -- "$pack" verify --public "$(sed -n 2p v.pub)" catalog.Bin

expect 0 "sign legacy with a comment" -- "$pack" sign --secret v.key --legacy \
  --trusted-comment "release 3.1" catalog.Bin
[ "$(sed -n 3p catalog.Bin.minisig)" = "trusted comment: release 3.1" ] ||
  fail "given trusted comment: $(sed -n 3p catalog.Bin.minisig)"
[[ "$(sed -n 2p catalog.Bin.minisig)" == RW* ]] || fail "--legacy did not write an \"Ed\" signature"
expect 0 "verify legacy" -- "$pack" verify --public v.pub catalog.Bin
contains "catalog.Bin: good signature, trusted comment: release 3.1" "verify legacy"
expect 1 "a trusted comment with a line break" -- "$pack" sign --secret v.key \
  --trusted-comment "$(printf 'a\nb')" catalog.Bin
contains "line break" "a trusted comment with a line break"

# Keys sign refuses: encrypted (kdf "Sc" in place of none), a public key, an unreadable file.
{ sed -n 1p v.key; sed -n 2p v.key | sed 's/^RWQAAEIy/RWRTY0Iy/'; } >encrypted.key
expect 1 "sign with an encrypted key" -- "$pack" sign --secret encrypted.key catalog.Bin
contains "encrypted with a password" "sign with an encrypted key"
expect 1 "sign with a public key" -- "$pack" sign --secret v.pub catalog.Bin
expect 2 "sign with a missing key" -- "$pack" sign --secret none.key catalog.Bin
expect 2 "sign a missing file" -- "$pack" sign --secret v.key none.bin

# verify: each way to fail, one line per file, exit 1; unreadable input exit 2.
expect 0 "sign again" -- "$pack" sign --secret v.key "image one.bin" catalog.Bin
cp catalog.Bin catalog.orig
printf 'x' >>catalog.Bin
expect 1 "tampered file" -- "$pack" verify --public v.pub "image one.bin" catalog.Bin
contains "image one.bin: good signature" "tampered file"
contains "catalog.Bin: FAILED: the signature does not match the file" "tampered file"
cp catalog.orig catalog.Bin
cp catalog.Bin.minisig catalog.sig.orig
sed -i '3s/$/ (edited)/' catalog.Bin.minisig
expect 1 "tampered trusted comment" -- "$pack" verify --public v.pub catalog.Bin
contains "FAILED: the signature of the trusted comment does not match" "tampered trusted comment"
head -c 3 catalog.sig.orig >catalog.Bin.minisig
expect 1 "truncated signature" -- "$pack" verify --public v.pub catalog.Bin
contains "FAILED: the signature file is malformed" "truncated signature"
rm catalog.Bin.minisig
expect 1 "missing signature" -- "$pack" verify --public v.pub catalog.Bin
contains "catalog.Bin: FAILED: no signature" "missing signature"
cp catalog.sig.orig catalog.Bin.minisig
expect 0 "another key pair" -- "$pack" keygen --secret o.key --public o.pub
expect 1 "wrong key" -- "$pack" verify --public o.pub catalog.Bin
contains "FAILED: the signature is from a key that is not trusted (key id " "wrong key"
expect 2 "missing file" -- "$pack" verify --public v.pub none.bin catalog.Bin
contains "none.bin: cannot read" "missing file"
contains "catalog.Bin: good signature" "missing file"
expect 2 "malformed public key" -- "$pack" verify --public "RWTnot-a-key" catalog.Bin
contains "not valid base64" "malformed public key"
expect 2 "no files" -- "$pack" verify --public v.pub

# The round trips with minisign.
if ! command -v minisign >/dev/null; then
  echo "$failures failure(s)"
  [ "$failures" = 0 ] || exit 1
  echo "SKIP: minisign is not installed: the round trips with minisign did not run"
  exit 77
fi
# Our key, minisign's signatures (prehashed and legacy): vqr-pack verifies them.
printf 'payload %s' "$RANDOM" >payload.bin
expect 0 "minisign signs with a vqr-pack key" -- minisign -S -s v.key -m payload.bin
expect 0 "vqr-pack verifies minisign's signature" -- "$pack" verify --public v.pub payload.bin
contains "payload.bin: good signature, trusted comment: timestamp:" "minisign's signature"
expect 0 "minisign signs legacy with a vqr-pack key" -- minisign -S -l -s v.key -m payload.bin \
  -t "legacy from minisign"
expect 0 "vqr-pack verifies minisign's legacy signature" -- "$pack" verify --public v.pub payload.bin
contains "trusted comment: legacy from minisign" "minisign's legacy signature"
expect 0 "minisign reads vqr-pack's public key" -- minisign -V -p v.pub -m payload.bin

# minisign's key, our signatures: minisign verifies them and sees our trusted comment.
expect 0 "minisign -G -W" -- minisign -G -W -p m.pub -s m.key
expect 0 "vqr-pack signs with minisign's key" -- "$pack" sign --secret m.key \
  --trusted-comment "from vqr-pack" payload.bin
expect 0 "minisign verifies vqr-pack's signature" -- minisign -V -H -p m.pub -m payload.bin
[ "$(minisign -V -Q -p m.pub -m payload.bin)" = "from vqr-pack" ] ||
  fail "minisign shows another trusted comment: $(minisign -V -Q -p m.pub -m payload.bin)"
expect 0 "vqr-pack signs legacy with minisign's key" -- "$pack" sign --secret m.key --legacy \
  payload.bin
expect 0 "minisign verifies vqr-pack's legacy signature" -- minisign -V -p m.pub -m payload.bin
expect 1 "minisign -H sees a legacy signature" -- minisign -V -H -p m.pub -m payload.bin
printf 'x' >>payload.bin
expect 1 "minisign refuses our signature of a changed file" -- minisign -V -p m.pub -m payload.bin

echo "$failures failure(s)"
[ "$failures" = 0 ]
