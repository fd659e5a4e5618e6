#!/usr/bin/env bash
# vqr-pack as a process: exit codes, the check's output, and serve answering in the server's
# layout. Usage: vqr_pack_cli_test.sh PATH_TO_VQR_PACK
set -uo pipefail
pack="$1"
dir="$(mktemp -d)"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$dir"' EXIT
failures=0
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
head -c 300 /dev/urandom >"$dir/odd.bin"
expect 1 "image data not whole pages" -- "$pack" image --model A1B2 --first 3 --in "$dir/odd.bin" \
  --out "$dir/y.bin"

# A damaged image: one content byte changed, so the XOR check fails.
cp "$dir/srv/Pool3Ax/T0A1B215.bin" "$dir/bad.bin"
printf '\x5a' | dd of="$dir/bad.bin" bs=1 seek=100 conv=notrunc status=none
cmp -s "$dir/bad.bin" "$dir/srv/Pool3Ax/T0A1B215.bin" ||
  expect 1 "damaged image" -- "$pack" check --model A1B2 --kind image "$dir/bad.bin"
grep -qE "result: -[45]" "$dir/out" || { echo "FAIL: damaged image not refused by a check byte"; failures=$((failures + 1)); }

# serve: any free port, the two URL forms, and a log line per request.
"$pack" serve "$dir/srv" --port 0 >"$dir/serve.log" 2>&1 &
server=$!
for _ in $(seq 50); do grep -q "serving" "$dir/serve.log" && break; sleep 0.1; done
port="$(sed -n 's#.*http://127.0.0.1:\([0-9]*\)/.*#\1#p' "$dir/serve.log")"
curl -s -o "$dir/got.Bin" "http://127.0.0.1:$port/Door3/A1B2.Bin"
cmp -s "$dir/got.Bin" "$dir/srv/Door3/A1B2.Bin" || { echo "FAIL: served catalog differs"; failures=$((failures + 1)); }
curl -s -o "$dir/got.bin" "http://127.0.0.1:$port/Pool3Ax/T0A1B215.bin"
cmp -s "$dir/got.bin" "$dir/srv/Pool3Ax/T0A1B215.bin" || { echo "FAIL: served image differs"; failures=$((failures + 1)); }
status="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/Door3/../data.bin")"
[ "$status" = 404 ] || { echo "FAIL: outside the layout answered $status"; failures=$((failures + 1)); }
grep -q "GET /Door3/A1B2.Bin 200" "$dir/serve.log" || { echo "FAIL: no log line"; cat "$dir/serve.log"; failures=$((failures + 1)); }

echo "$failures failure(s)"
[ "$failures" = 0 ]
