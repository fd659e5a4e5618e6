#!/usr/bin/env bash
# The whole update against nginx over HTTPS, as a vendor would publish it: a certificate
# authority and a server certificate made here, an update tree built, signed and verified with
# vqr-pack, nginx serving it on a free loopback port, and vqr03-cli updating a simulated device
# from it with the vendor's public key trusted. Then the refusals: a tampered image, a catalog
# signed by an untrusted key or not signed, and a certificate the updater must not accept; each
# leaves the device untouched.
# Usage: nginx_https_test.sh PATH_TO_VQR_PACK PATH_TO_VQR03_CLI
# Exit 77 (skipped) when nginx is not installed; NGINX names another nginx binary.
set -uo pipefail
pack="$1"
cli="$2"
nginx="${NGINX:-/usr/sbin/nginx}"
if [ ! -x "$nginx" ]; then
  echo "SKIP: nginx is not installed ($nginx missing): apt-get install nginx-light"
  exit 77
fi
for tool in openssl curl cmp od; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done

dir="$(mktemp -d)"
nginx_pid=""
stop_nginx() {
  [ -n "$nginx_pid" ] || return 0
  kill -TERM "$nginx_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$nginx_pid" 2>/dev/null
  wait "$nginx_pid" 2>/dev/null
  nginx_pid=""
}
trap 'stop_nginx; rm -rf "$dir"' EXIT
trap 'exit 1' INT TERM HUP
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# run DESCRIPTION COMMAND...: runs it, its output in $dir/out and $dir/err, its exit in $got.
run() {
  local what="$1"
  shift
  "$@" >"$dir/out" 2>"$dir/err" </dev/null
  got=$?
  echo "--- $what: exit $got" >>"$dir/transcript"
  cat "$dir/out" "$dir/err" >>"$dir/transcript"
}
must() {  # must DESCRIPTION COMMAND...: a preparation step that has to succeed
  local what="$1"
  shift
  run "$what" "$@"
  [ "$got" = 0 ] && return 0
  echo "FAIL: $what: exit $got"
  cat "$dir/out" "$dir/err"
  exit 1
}
# in_order FILE DESCRIPTION LINE...: FILE holds each LINE exactly, in this order.
in_order() {
  local file="$1" what="$2" after=0 line at
  shift 2
  for line in "$@"; do
    at="$(tail -n "+$((after + 1))" "$file" | grep -nxF -m1 -- "$line" | cut -d: -f1)"
    if [ -z "$at" ]; then
      fail "$what: no line '$line' after line $after"
      cat "$file"
      return
    fi
    after=$((after + at))
  done
}

# --- The certificates: our authority, the server's certificate for 127.0.0.1 and localhost,
# one for another host name, and an authority nobody uses for the server.
# shellcheck source-path=SCRIPTDIR source=../support/test_certificates.sh
source "$(dirname "$0")/../support/test_certificates.sh"
mkdir -p "$dir/tls"
if ! { make_test_ca "$dir/tls" ca && make_test_server "$dir/tls" server ca &&
  make_test_server "$dir/tls" elsewhere ca "DNS:updates.invalid" &&
  make_test_ca "$dir/tls" stranger; }; then
  echo "FAIL: openssl could not make the certificates"
  cat "$dir"/tls/*.log
  exit 1
fi

# --- The device: a 256-byte information page, generation 3, model E2E1, whose images live in
# Pool3Ex (the model's third character). Its fresh flash is erased with the page at 8175.
model=E2E1
pool=Pool3Ex
head -c 256 /dev/zero >"$dir/info"
printf '\003' | dd of="$dir/info" bs=1 seek=7 conv=notrunc status=none
printf '%s' "$model" | dd of="$dir/info" bs=1 seek=12 conv=notrunc status=none
head -c $((8192 * 256)) /dev/zero | tr '\0' '\377' >"$dir/fresh.flash"
dd if="$dir/info" of="$dir/fresh.flash" bs=256 seek=8175 conv=notrunc status=none

# --- The update tree: two fixed images (rows 0 and 1, newer than the device's versions 0) and
# one optional image (the default choice), each of random data at its first sector.
tree="$dir/sites/good"
mkdir -p "$tree/Door3" "$tree/$pool"
images=(T0E2E115.bin V1E2E123.bin C2E2E134.bin)
declare -A first=([T0E2E115.bin]=2 [V1E2E123.bin]=8 [C2E2E134.bin]=16)
declare -A bytes=([T0E2E115.bin]=$((4096 + 3 * 256)) [V1E2E123.bin]=8192 [C2E2E134.bin]=1024)
entries=()
for name in "${images[@]}"; do
  head -c "${bytes[$name]}" /dev/urandom >"$dir/$name.data"
  must "image $name" "$pack" image --model "$model" --first "${first[$name]}" \
    --in "$dir/$name.data" --out "$tree/$pool/$name"
  entries+=("@$tree/$pool/$name:e2e $name")
done
must "catalog" "$pack" catalog --model "$model" --out "$tree/Door3/$model.Bin" "${entries[@]}"
must "keygen" "$pack" keygen --secret "$dir/vendor.key" --public "$dir/vendor.pub"
must "keygen, another key" "$pack" keygen --secret "$dir/other.key" --public "$dir/other.pub"
must "sign" "$pack" sign --secret "$dir/vendor.key" "$tree/Door3/$model.Bin" "$tree/$pool"/*.bin
must "verify the signed tree" "$pack" verify "$tree" --public "$dir/vendor.pub"

# The broken sites, each a copy of the good one. The first image the run downloads is changed
# in one byte after signing; the catalog re-signed by a key the updater does not trust; the
# catalog's signature missing. vqr-pack verify refuses each.
cp -r "$tree" "$dir/sites/tampered"
victim="$dir/sites/tampered/$pool/${images[0]}"
old="$(od -An -tu1 -j100 -N1 "$victim" | tr -d ' ')"
printf '%b' "\\$(printf '%03o' $((old ^ 0xA5)))" | dd of="$victim" bs=1 seek=100 conv=notrunc status=none
cp -r "$tree" "$dir/sites/untrusted"
rm "$dir/sites/untrusted/Door3/$model.Bin.minisig"
must "sign with another key" "$pack" sign --secret "$dir/other.key" \
  "$dir/sites/untrusted/Door3/$model.Bin"
cp -r "$tree" "$dir/sites/unsigned"
rm "$dir/sites/unsigned/Door3/$model.Bin.minisig"
for site in tampered untrusted unsigned; do
  run "verify the $site site" "$pack" verify "$dir/sites/$site" --public "$dir/vendor.pub"
  [ "$got" = 1 ] || fail "vqr-pack verify of the $site site: exit $got, wanted 1"
done

# --- nginx on a free loopback port, with its own configuration, logs and temporary paths.
# A port taken meanwhile makes nginx exit at once: then another port is tried.
mkdir -p "$dir/nginx"
user_line=""
[ "$(id -u)" = 0 ] && user_line="user root root;"  # the workers must read the private tree
start_nginx() {
  cat >"$dir/nginx/nginx.conf" <<CONF
$user_line
daemon off;
master_process on;
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log info;
events { worker_connections 64; }
http {
  access_log $dir/nginx/access.log;
  client_body_temp_path $dir/nginx/body;
  proxy_temp_path $dir/nginx/proxy;
  fastcgi_temp_path $dir/nginx/fastcgi;
  uwsgi_temp_path $dir/nginx/uwsgi;
  scgi_temp_path $dir/nginx/scgi;
  default_type application/octet-stream;
  # Addressed by IP (no server name sent): the certificate for 127.0.0.1 and localhost.
  server {
    listen 127.0.0.1:$port ssl default_server;
    ssl_certificate $dir/tls/server.pem;
    ssl_certificate_key $dir/tls/server.key;
    root $dir/sites;
  }
  # Asked for as localhost: a certificate from our authority for another host name.
  server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate $dir/tls/elsewhere.pem;
    ssl_certificate_key $dir/tls/elsewhere.key;
    root $dir/sites;
  }
}
CONF
  "$nginx" -p "$dir/nginx/" -e "$dir/nginx/error.log" -c "$dir/nginx/nginx.conf" \
    >>"$dir/nginx/stdout.log" 2>&1 &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -s --cacert "$dir/tls/ca.pem" -o "$dir/probe" \
      "https://127.0.0.1:$port/good/Door3/$model.Bin" && return 0
    kill -0 "$nginx_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_nginx
  return 1
}
started=""
for _ in $(seq 10); do
  port=$((20000 + RANDOM % 40000))
  if start_nginx; then
    started=yes
    break
  fi
  grep -q "Address already in use" "$dir/nginx/error.log" "$dir/nginx/stdout.log" 2>/dev/null || break
done
if [ -z "$started" ]; then
  echo "FAIL: nginx did not start"
  cat "$dir/nginx/nginx.conf" "$dir/nginx/error.log" "$dir/nginx/stdout.log" 2>/dev/null
  exit 1
fi
cmp -s "$dir/probe" "$tree/Door3/$model.Bin" || fail "nginx serves another catalog"
base="https://127.0.0.1:$port"

# update SITE [VARIABLE=VALUE...]: the whole update from SITE with the vendor's key trusted.
update() {
  local site="$1"
  shift
  rm -f "$dir/flash"
  run "update from $site $*" env -u VQR_CA_FILE "$@" "$cli" --simulate "$dir/info" \
    --sim-flash-out "$dir/flash" --server "$site" --trust "$dir/vendor.pub" --yes --wait 5
}

# --- The whole update: every image at its sectors, each file and its signature fetched.
update "$base/good/" VQR_CA_FILE="$dir/tls/ca.pem"
[ "$got" = 0 ] || { fail "update: exit $got, wanted 0"; cat "$dir/out" "$dir/err"; }
in_order "$dir/out" "update" "device: 版本 : [ 0000 ]" \
  "message [更新完成]: OK\\n拔線＋離開程式\\nGoodbye."
for name in "${images[@]}"; do
  cmp -s -n "${bytes[$name]}" -i "$((first[$name] * 4096)):0" "$dir/flash" "$dir/$name.data" ||
    fail "update: the flash lacks $name's data at sector ${first[$name]}"
  for file in "$name" "$name.minisig"; do
    grep -q "\"GET /good/$pool/$file HTTP/1.1\" 200 " "$dir/nginx/access.log" ||
      fail "update: nginx did not serve $pool/$file"
  done
done
grep -q "\"GET /good/Door3/$model.Bin.minisig HTTP/1.1\" 200 " "$dir/nginx/access.log" ||
  fail "update: nginx did not serve the catalog's signature"

# --- The refusals. Each: exit 1, the numbered error after its message, one stderr line naming
# the file and the cause, and the device untouched.
# SITE | VQR_CA_FILE | DESCRIPTION | MESSAGE LINES IN ORDER (;-separated) | STDERR TEXT
refusals=(
  "$base/tampered/|$dir/tls/ca.pem|an image changed after signing|message [執行時錯誤]: 錯誤碼: 0402 -12|$pool/${images[0]}: signature refused: the signature does not match the file"
  "$base/untrusted/|$dir/tls/ca.pem|a catalog signed by an untrusted key|message [執行時錯誤]: 錯誤碼: 0302 -12;message [錯誤分析]: 請檢查網路連線後重試|Door3/$model.Bin: signature refused: the signature is from a key that is not trusted"
  "$base/unsigned/|$dir/tls/ca.pem|a catalog without its signature|message [執行時錯誤]: 錯誤碼: 0302 -12;message [錯誤分析]: 請檢查網路連線後重試|Door3/$model.Bin.minisig: the server answered HTTP 404"
  "$base/good/||the system's authorities only|message [網路問題]: 無法鏈結伺服器!;message [執行時錯誤]: 錯誤碼: 0302 -9|Door3/$model.Bin: the server's certificate was not accepted"
  "$base/good/|$dir/tls/stranger.pem|another authority|message [網路問題]: 無法鏈結伺服器!;message [執行時錯誤]: 錯誤碼: 0302 -9|Door3/$model.Bin: the server's certificate was not accepted"
  "https://localhost:$port/good/|$dir/tls/ca.pem|a certificate for another host name|message [網路問題]: 無法鏈結伺服器!;message [執行時錯誤]: 錯誤碼: 0302 -9|Door3/$model.Bin: the server's certificate was not accepted"
)
for row in "${refusals[@]}"; do
  IFS='|' read -r site ca what messages cause <<<"$row"
  IFS=';' read -r -a lines <<<"$messages"
  if [ -n "$ca" ]; then update "$site" VQR_CA_FILE="$ca"; else update "$site"; fi
  [ "$got" = 1 ] || { fail "$what: exit $got, wanted 1"; cat "$dir/out" "$dir/err"; }
  in_order "$dir/out" "$what" "${lines[@]}"
  grep -qF "vqr03-cli: $site$cause" "$dir/err" ||
    { fail "$what: no stderr line naming '$cause'"; cat "$dir/err"; }
  cmp -s "$dir/flash" "$dir/fresh.flash" || fail "$what: the device's flash was changed"
done

echo "$failures failure(s)"
[ "$failures" = 0 ] || { echo "--- transcript"; cat "$dir/transcript"; echo "--- nginx"; cat "$dir/nginx/error.log"; }
[ "$failures" = 0 ]
