#!/usr/bin/env bash
# vqr-pack as a process: exit codes, the check's output, the golden files rebuilt from their
# inputs, the tree check, and serve answering in the server's layout over HTTP and HTTPS.
# Usage: vqr_pack_cli_test.sh PATH_TO_VQR_PACK PATH_TO_TESTS_DATA
set -uo pipefail
pack="$1"
data="$(cd "$2" && pwd)"
dir="$(mktemp -d)"
servers=()
cleanup() {
  local pid
  for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$dir"
}
trap cleanup EXIT
failures=0
# A server that accepts and never answers must fail its case, not hold the whole test.
curl() { command curl --max-time 20 "$@"; }
expect() {  # expect WANTED_EXIT DESCRIPTION -- COMMAND...
  local want="$1" what="$2"
  shift 3
  "$@" >"$dir/out" 2>"$dir/err"
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what: exit $got, wanted $want"; cat "$dir/out" "$dir/err"; failures=$((failures + 1))
  fi
}
contains() {  # contains TEXT DESCRIPTION
  if ! grep -qF -- "$1" "$dir/out"; then
    echo "FAIL: $2: output lacks '$1'"; cat "$dir/out"; failures=$((failures + 1))
  fi
}
lacks() {  # lacks TEXT DESCRIPTION
  if grep -qF -- "$1" "$dir/out"; then
    echo "FAIL: $2: output has '$1'"; cat "$dir/out"; failures=$((failures + 1))
  fi
}
errors() {  # errors TEXT DESCRIPTION: the message on standard error
  if ! grep -qF -- "$1" "$dir/err"; then
    echo "FAIL: $2: error lacks '$1'"; cat "$dir/err"; failures=$((failures + 1))
  fi
}
same() {  # same FILE GOLDEN DESCRIPTION
  cmp -s "$1" "$2" || { echo "FAIL: $3: $1 differs from $2"; failures=$((failures + 1)); }
}

expect 0 "key" -- "$pack" key
[[ "$(cat "$dir/out")" =~ ^[0-9a-f]{128}$ ]] || { echo "FAIL: key is not 128 hex digits"; failures=$((failures + 1)); }

mkdir -p "$dir/srv/Door3" "$dir/srv/Pool3Ax"
expect 0 "catalog" -- "$pack" catalog --model A1B2 --out "$dir/srv/Door3/A1B2.Bin" \
  "T0A1B215.bin:8448:主程式" "V1A1B2123.bin:0:" "C2A1B2234.bin:256:Demo: 示範"
expect 0 "check catalog" -- "$pack" check --model A1B2 --kind catalog "$dir/srv/Door3/A1B2.Bin"
contains "result: 0" "check catalog"
contains "generation: 3" "check catalog"
contains '2: C2A1B2234.bin size 256 "Demo: 示範"' "check catalog"
expect 1 "catalog model" -- "$pack" check --model A1B3 --kind catalog "$dir/srv/Door3/A1B2.Bin"
contains "result: -7" "catalog model"
# A model code is exactly four characters: a fifth is not ignored.
expect 2 "five-character model" -- "$pack" check --model A1B2X --kind catalog "$dir/srv/Door3/A1B2.Bin"
lacks "result: 0" "five-character model"
expect 2 "three-character model" -- "$pack" check --model A1B --kind catalog "$dir/srv/Door3/A1B2.Bin"
expect 2 "catalog without a model" -- "$pack" check --kind catalog "$dir/srv/Door3/A1B2.Bin"
# Another generation is refused, as the updater refuses it.
expect 0 "catalog of generation 2" -- "$pack" catalog --model A1B2 --generation 2 --out "$dir/g2.Bin"
expect 1 "check generation 2" -- "$pack" check --model A1B2 --kind catalog "$dir/g2.Bin"
contains "result: generation 2" "check generation 2"

expect 1 "a 37-unit description of the third entry" -- "$pack" catalog --model A1B2 \
  --out "$dir/x.Bin" a:1: b:1: "c:1:$(printf 'd%.0s' {1..37})"
expect 1 "a name of 32 characters" -- "$pack" catalog --model A1B2 --out "$dir/x.Bin" \
  "$(printf 'n%.0s' {1..32}):1:"
expect 1 "nine entries" -- "$pack" catalog --model A1B2 --out "$dir/x.Bin" \
  a:1: b:1: c:1: d:1: e:1: f:1: g:1: h:1: i:1:
expect 2 "no model" -- "$pack" catalog --out "$dir/x.Bin"

head -c 8448 /dev/urandom >"$dir/data.bin"
expect 0 "image" -- "$pack" image --model A1B2 --first 3 --in "$dir/data.bin" \
  --out "$dir/srv/Pool3Ax/T0A1B215.bin"
expect 0 "check image" -- "$pack" check --model A1B2 --kind image "$dir/srv/Pool3Ax/T0A1B215.bin"
contains "first: 3" "check image"
contains "last: 5" "check image"
contains "tail pages: 1" "check image"
contains "model: 'A1B2' (characters 2 to 5 of T0A1B215.bin)" "check image"
head -c 300 /dev/urandom >"$dir/odd.bin"
expect 1 "image data not whole pages" -- "$pack" image --model A1B2 --first 3 --in "$dir/odd.bin" \
  --out "$dir/T0A1B216.bin"
errors "multiple of 256" "image data not whole pages"

# A damaged image: one content byte changed, so the XOR check fails. Checked under its name in
# the catalog, not the file's.
cp "$dir/srv/Pool3Ax/T0A1B215.bin" "$dir/bad.bin"
printf '\x5a' | dd of="$dir/bad.bin" bs=1 seek=100 conv=notrunc status=none
cmp -s "$dir/bad.bin" "$dir/srv/Pool3Ax/T0A1B215.bin" ||
  expect 1 "damaged image" -- "$pack" check --name T0A1B215.bin --kind image "$dir/bad.bin"
grep -qE "result: -[45]" "$dir/out" || { echo "FAIL: damaged image not refused by a check byte"; failures=$((failures + 1)); }

# An image is checked against characters 2 to 5 of its name, as the updater checks it.
expect 1 "image whose --model differs from its name" -- "$pack" image --model C3D4 --first 3 \
  --in "$data/T0A1B215.data" --out "$dir/T0A1B215.bin"
errors "differs from 'A1B2'" "image whose --model differs from its name"
expect 1 "image whose name gives no model code" -- "$pack" image --first 3 \
  --in "$data/T0A1B215.data" --out "$dir/x.bin"
# An image made for C3D4 (under the name T0C3D415.bin) but published as T0A1B215.bin.
expect 0 "image of C3D4" -- "$pack" image --name T0C3D415.bin --first 3 \
  --in "$data/T0A1B215.data" --out "$dir/T0A1B215.bin"
expect 1 "check the misnamed image" -- "$pack" check --kind image "$dir/T0A1B215.bin"
contains "result: -7" "check the misnamed image"
expect 1 "check the misnamed image with its model" -- "$pack" check --kind image --model C3D4 \
  "$dir/T0A1B215.bin"
lacks "result: 0" "check the misnamed image with its model"
expect 0 "check it under its own name" -- "$pack" check --kind image --name T0C3D415.bin \
  --model C3D4 "$dir/T0A1B215.bin"
expect 1 "a catalog row from the misnamed image" -- "$pack" catalog --model A1B2 \
  --out "$dir/z.Bin" "@$dir/T0A1B215.bin:x"
errors "result: -7" "a catalog row from the misnamed image"

# The golden files: an image whose range needs more data than it holds is refused with the
# updater's -11, never "result: 0"; and the builders make exactly the checked-in bytes.
expect 1 "golden broken image" -- "$pack" check --kind image "$data/broken/T0A1B215.bin"
contains "result: -11" "golden broken image"
lacks "result: 0" "golden broken image"
mkdir -p "$dir/golden"
expect 0 "golden image T" -- "$pack" image --first 3 --in "$data/T0A1B215.data" \
  --out "$dir/golden/T0A1B215.bin"
same "$dir/golden/T0A1B215.bin" "$data/tree/Pool3Bx/T0A1B215.bin" "golden image T"
expect 0 "golden image C" -- "$pack" image --model A1B2 --first 16 --in "$data/C2A1B2234.data" \
  --out "$dir/golden/C2A1B2234.bin"
same "$dir/golden/C2A1B2234.bin" "$data/tree/Pool3Bx/C2A1B2234.bin" "golden image C"
expect 0 "golden catalog, sizes typed" -- "$pack" catalog --model A1B2 --out "$dir/golden/typed.Bin" \
  "T0A1B215.bin:8480:主程式" "V1A1B2123.bin:0:" "C2A1B2234.bin:288:Demo: 示範 😀"
same "$dir/golden/typed.Bin" "$data/tree/Door3/A1B2.Bin" "golden catalog, sizes typed"
# The names and sizes taken from the images themselves give the same catalog.
expect 0 "golden catalog, from the images" -- "$pack" catalog --model A1B2 \
  --out "$dir/golden/A1B2.Bin" "@$dir/golden/T0A1B215.bin:主程式" "V1A1B2123.bin:0:" \
  "@$dir/golden/C2A1B2234.bin:Demo: 示範 😀"
same "$dir/golden/A1B2.Bin" "$data/tree/Door3/A1B2.Bin" "golden catalog, from the images"
expect 0 "check golden catalog" -- "$pack" check --model A1B2 --kind catalog "$data/tree/Door3/A1B2.Bin"
contains '0: T0A1B215.bin size 8480 "主程式"' "check golden catalog"
contains '2: C2A1B2234.bin size 288 "Demo: 示範 😀"' "check golden catalog"

# verify DIR: the golden tree passes with one summary line; each fault gives its own line.
expect 0 "verify golden tree" -- "$pack" verify "$data/tree"
contains "1 catalog and 2 images" "verify golden tree"
[ "$(wc -l <"$dir/out")" = 1 ] || { echo "FAIL: verify golden tree: not one line"; failures=$((failures + 1)); }
verify_fault() {  # verify_fault DESCRIPTION LINE COMMAND...: break a copy of the tree, expect LINE
  local what="$1" line="$2"
  shift 2
  rm -rf "$dir/vt" && cp -r "$data/tree" "$dir/vt"
  (cd "$dir/vt" && "$@")
  expect 1 "verify: $what" -- "$pack" verify "$dir/vt"
  contains "$line" "verify: $what"
}
verify_fault "image missing" "Pool3Bx/C2A1B2234.bin: missing (row 2 of Door3/A1B2.Bin)" \
  rm Pool3Bx/C2A1B2234.bin
verify_fault "pool folder missing" "Pool3Bx/: missing: Door3/A1B2.Bin lists 2 images there" \
  rm -r Pool3Bx
verify_fault "image size differs from its row" "Pool3Bx/T0A1B215.bin: 8481 bytes, row 0 of Door3/A1B2.Bin says 8480" \
  sh -c 'printf x >>Pool3Bx/T0A1B215.bin'
verify_fault "image of another model" "Pool3Bx/C2A1B2234.bin: refused by the updater: -7" \
  cp "$dir/T0A1B215.bin" Pool3Bx/C2A1B2234.bin
verify_fault "image whose range exceeds its data" "Pool3Bx/T0A1B215.bin: refused by the updater: -11" \
  cp "$data/broken/T0A1B215.bin" Pool3Bx/T0A1B215.bin
verify_fault "catalog named for another model" "Door3/C3D4.Bin: refused by the updater: -7" \
  mv Door3/A1B2.Bin Door3/C3D4.Bin
verify_fault "catalog name not a model code" "Door3/A1B.Bin: no device fetches it" \
  mv Door3/A1B2.Bin Door3/A1B.Bin
verify_fault "catalog of another generation" "Door3/A1B2.Bin: refused by the updater: generation 2" \
  cp "$dir/g2.Bin" Door3/A1B2.Bin
verify_fault "no catalog" "Door3/: holds no catalog" rm Door3/A1B2.Bin
# verify DIR judges a catalog's images as update runs install them: the fixed rows with each
# other and with each optional row (two optional rows are never installed together), and an
# image over the information page (page 8175, the last page of sector 510) must leave there a
# page of the catalog's model and of updater generation 3 at most.
head -c 4096 /dev/zero >"$dir/sector"
head -c 8192 /dev/zero >"$dir/two-sectors"
{ head -c 3840 /dev/zero; printf '\0\0\0\0\0\0\0\003\0\0\0\0A1B2'; head -c 240 /dev/zero; } >"$dir/info-sector"
{ head -c 3840 /dev/zero; printf '\0\0\0\0\0\0\0\004\0\0\0\0A1B2'; head -c 240 /dev/zero; } >"$dir/info-sector-g4"
run_tree() {  # run_tree ROW... with ROW NAME:FIRST:DATA: a tree of one catalog of these images
  rm -rf "$dir/rt" && mkdir -p "$dir/rt/Door3" "$dir/rt/Pool3Bx"
  local row entries=()
  for row in "$@"; do
    IFS=: read -r name first data <<<"$row"
    "$pack" image --name "$name" --first "$first" --in "$dir/$data" --out "$dir/rt/Pool3Bx/$name" >/dev/null ||
      { echo "FAIL: run_tree: image $row"; failures=$((failures + 1)); }
    entries+=("@$dir/rt/Pool3Bx/$name")
  done
  "$pack" catalog --model A1B2 --out "$dir/rt/Door3/A1B2.Bin" "${entries[@]}" >/dev/null ||
    { echo "FAIL: run_tree: catalog"; failures=$((failures + 1)); }
}
run_tree T0A1B215.bin:3:two-sectors V1A1B2123.bin:4:sector C2A1B2234.bin:20:sector
expect 1 "verify: fixed images overlap" -- "$pack" verify "$dir/rt"
contains "Pool3Bx/V1A1B2123.bin: refused by the updater: -14" "verify: fixed images overlap"
contains "rows 0 and 1 of Door3/A1B2.Bin are installed together" "verify: fixed images overlap"
run_tree T0A1B215.bin:3:two-sectors V1A1B2123.bin:5:sector C2A1B2234.bin:4:sector
expect 1 "verify: an optional image overlaps a fixed one" -- "$pack" verify "$dir/rt"
contains "Pool3Bx/C2A1B2234.bin: refused by the updater: -14" "verify: an optional image overlaps a fixed one"
run_tree T0A1B215.bin:3:two-sectors V1A1B2123.bin:5:sector C2A1B2234.bin:20:sector C3A1B2299.bin:20:sector
expect 0 "verify: optional images may share sectors" -- "$pack" verify "$dir/rt"
run_tree T0A1B215.bin:510:info-sector
expect 0 "verify: a valid information page" -- "$pack" verify "$dir/rt"
for bad in sector info-sector-g4; do
  run_tree T0A1B215.bin:510:$bad
  expect 1 "verify: information page from $bad" -- "$pack" verify "$dir/rt"
  contains "Pool3Bx/T0A1B215.bin: refused by the updater: -15" "verify: information page from $bad"
done
expect 2 "verify a file" -- "$pack" verify "$data/tree/Door3/A1B2.Bin"
expect 2 "verify --public is the signature form" -- "$pack" verify --public KEY "$data/tree"

# serve_started LOG SCHEME ARGUMENTS...: starts `vqr-pack serve ARGUMENTS` in the background,
# waits for its "serving" line and sets $port from it (empty when it did not start).
serve_started() {
  local log="$1" scheme="$2"
  shift 2
  "$pack" serve "$@" >"$log" 2>&1 &
  servers+=($!)
  for _ in $(seq 50); do grep -q "serving" "$log" && break; sleep 0.1; done
  port="$(sed -n "s#^serving .* on $scheme://127.0.0.1:\([0-9]*\)/\$#\1#p" "$log")"
  [ -n "$port" ] || { echo "FAIL: serve $*: no '$scheme' serving line"; cat "$log"; failures=$((failures + 1)); }
}

# serve: any free port, the two URL forms, and a log line per request.
serve_started "$dir/serve.log" http "$dir/srv" --port 0
curl -s -o "$dir/got.Bin" "http://127.0.0.1:$port/Door3/A1B2.Bin"
cmp -s "$dir/got.Bin" "$dir/srv/Door3/A1B2.Bin" || { echo "FAIL: served catalog differs"; failures=$((failures + 1)); }
curl -s -o "$dir/got.bin" "http://127.0.0.1:$port/Pool3Ax/T0A1B215.bin"
cmp -s "$dir/got.bin" "$dir/srv/Pool3Ax/T0A1B215.bin" || { echo "FAIL: served image differs"; failures=$((failures + 1)); }
status="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/Door3/../data.bin")"
[ "$status" = 404 ] || { echo "FAIL: outside the layout answered $status"; failures=$((failures + 1)); }
grep -q "GET /Door3/A1B2.Bin 200" "$dir/serve.log" || { echo "FAIL: no log line"; cat "$dir/serve.log"; failures=$((failures + 1)); }

# A second server on a taken port fails, naming it, instead of sharing the port (clients would
# get a mix of both trees); the first one keeps serving. `timeout`: one that serves is a failure.
mkdir -p "$dir/other/Door3"
printf 'another tree' >"$dir/other/Door3/A1B2.Bin"
for bind in 127.0.0.1 0.0.0.0; do
  expect 2 "second serve on port $port of $bind" -- timeout 10 "$pack" serve "$dir/other" \
    --port "$port" --bind "$bind"
  errors "cannot listen on $bind:$port: the port is already in use" "second serve on $bind"
done
for _ in 1 2 3 4; do
  curl -s -o "$dir/got.Bin" "http://127.0.0.1:$port/Door3/A1B2.Bin"
  cmp -s "$dir/got.Bin" "$dir/srv/Door3/A1B2.Bin" || { echo "FAIL: the first server's port answered with another file"; failures=$((failures + 1)); }
done

# HTTPS with a certificate made here: curl trusts it with the authority, refuses it without.
# shellcheck source-path=SCRIPTDIR source=../support/test_certificates.sh
source "$(dirname "$0")/../support/test_certificates.sh"
mkdir -p "$dir/tls"
if make_test_ca "$dir/tls" ca && make_test_server "$dir/tls" server ca &&
  make_test_ca "$dir/tls" ca2 && make_test_server "$dir/tls" stranger ca2; then
  serve_started "$dir/https.log" https "$dir/srv" --port 0 --tls-cert "$dir/tls/server.pem" \
    --tls-key "$dir/tls/server.key"
  rm -f "$dir/got.Bin"
  curl -sS --cacert "$dir/tls/ca.pem" -o "$dir/got.Bin" "https://127.0.0.1:$port/Door3/A1B2.Bin" 2>"$dir/curl.err"
  cmp -s "$dir/got.Bin" "$dir/srv/Door3/A1B2.Bin" || { echo "FAIL: catalog over https differs"; cat "$dir/curl.err"; failures=$((failures + 1)); }
  grep -q "GET /Door3/A1B2.Bin 200" "$dir/https.log" || { echo "FAIL: no https log line"; cat "$dir/https.log"; failures=$((failures + 1)); }
  # Without the authority (or with another one) curl refuses the certificate: exit 60.
  for trust in "" "--cacert $dir/tls/ca2.pem"; do
    # shellcheck disable=SC2086
    curl -s $trust -o /dev/null "https://127.0.0.1:$port/Door3/A1B2.Bin"
    got=$?
    [ "$got" = 60 ] || { echo "FAIL: curl ${trust:-without a CA} over https: exit $got, wanted 60"; failures=$((failures + 1)); }
  done
  status="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/Door3/A1B2.Bin")"
  [ "$status" = 200 ] && { echo "FAIL: the https server answered plain http"; failures=$((failures + 1)); }

  # The certificate and key: both or neither, readable, PEM, and belonging together.
  tls_refused() {  # tls_refused DESCRIPTION MESSAGE ARGUMENTS...
    local what="$1" message="$2"
    shift 2
    expect 2 "serve: $what" -- timeout 10 "$pack" serve "$dir/srv" --port 0 "$@"
    errors "$message" "serve: $what"
  }
  openssl ec -in "$dir/tls/server.key" -aes256 -passout pass:secret -out "$dir/tls/locked.key" 2>/dev/null
  tls_refused "certificate without key" "--tls-cert requires --tls-key" --tls-cert "$dir/tls/server.pem"
  tls_refused "key without certificate" "--tls-key requires --tls-cert" --tls-key "$dir/tls/server.key"
  tls_refused "unreadable certificate" "cannot read $dir/tls/none.pem" \
    --tls-cert "$dir/tls/none.pem" --tls-key "$dir/tls/server.key"
  tls_refused "unreadable key" "cannot read $dir/tls/none.key" \
    --tls-cert "$dir/tls/server.pem" --tls-key "$dir/tls/none.key"
  tls_refused "a key as the certificate" "--tls-cert $dir/tls/server.key: no PEM certificate" \
    --tls-cert "$dir/tls/server.key" --tls-key "$dir/tls/server.key"
  tls_refused "a certificate as the key" "--tls-key $dir/tls/server.pem: no unencrypted PEM private key" \
    --tls-cert "$dir/tls/server.pem" --tls-key "$dir/tls/server.pem"
  tls_refused "an encrypted key" "--tls-key $dir/tls/locked.key: no unencrypted PEM private key" \
    --tls-cert "$dir/tls/server.pem" --tls-key "$dir/tls/locked.key"
  tls_refused "another certificate's key" \
    "the key in $dir/tls/stranger.key does not match the certificate in $dir/tls/server.pem" \
    --tls-cert "$dir/tls/server.pem" --tls-key "$dir/tls/stranger.key"
else
  echo "FAIL: openssl could not make the test certificates"; cat "$dir"/tls/*.log; failures=$((failures + 1))
fi

echo "$failures failure(s)"
[ "$failures" = 0 ]
