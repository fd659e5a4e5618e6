#!/bin/sh
# cpack -G ZIP of the win32 build: the archive has the expected name and holds exactly the two
# programs, README.txt and the licence texts, and both programs are stripped.
#
#   windows_zip_test.sh CPACK CMAKE OBJDUMP BUILD_DIR ZIP_NAME
set -u
cpack=$1
cmake=$2
objdump=$3
build=$4
zip=$5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if ! "$cpack" -G ZIP --config "$build/CPackConfig.cmake" -B "$dir/out" >"$dir/log" 2>&1; then
  cat "$dir/log"
  fail "cpack failed"
  exit 1
fi
[ -f "$dir/out/$zip" ] || { ls "$dir/out"; fail "no $zip"; exit 1; }

# The files (not the folders), in name order.
(cd "$dir/out" && "$cmake" -E tar tf "$zip") | grep -v '/$' | LC_ALL=C sort >"$dir/got"
LC_ALL=C sort >"$dir/want" <<'LIST'
vqr03.exe
vqr03-cli.exe
README.txt
licenses/CLI11.txt
licenses/GPL-3.txt
licenses/LGPL-2.1.txt
licenses/gcc-runtime-library-exception.txt
licenses/libgcrypt.txt
licenses/libgpg-error.txt
licenses/mingw-w64-runtime.txt
LIST
if ! cmp -s "$dir/got" "$dir/want"; then
  fail "the archive's files differ from the expected (- expected, + found):"
  diff -u "$dir/want" "$dir/got" | tail -n +3
fi

mkdir "$dir/x"
(cd "$dir/x" && "$cmake" -E tar xf "$dir/out/$zip")
for exe in vqr03.exe vqr03-cli.exe; do
  [ -f "$dir/x/$exe" ] || continue
  if "$objdump" -h "$dir/x/$exe" | grep -q '\.debug'; then fail "$exe has debug sections"; fi
  "$objdump" -t "$dir/x/$exe" | grep -q 'no symbols' || fail "$exe has a symbol table"
  # One file each: everything but the system's own DLLs is linked in (libgcrypt included).
  for dll in $("$objdump" -p "$dir/x/$exe" | sed -n 's/^.*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    case $dll in
      kernel32.dll | user32.dll | gdi32.dll | shell32.dll | advapi32.dll | wininet.dll | \
        winmm.dll | setupapi.dll | hid.dll | ws2_32.dll | bcrypt.dll | msvcrt.dll | \
        comctl32.dll | ole32.dll | api-ms-win-*) ;;
      *) fail "$exe imports $dll, which is not a system DLL" ;;
    esac
  done
done
# Their manifests: the window per-monitor DPI aware, the command line in UTF-8, both with the
# version (the one in the archive's name).
version=$(echo "$zip" | sed -n 's/^vqr03-\(.*\)-win64\.zip$/\1/p')
manifest() {  # manifest EXE TEXT
  grep -qaF -- "$2" "$dir/x/$1" || fail "$1: its manifest lacks $2"
}
manifest vqr03.exe '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2,PerMonitor</dpiAwareness>'
manifest vqr03.exe '>true/pm</dpiAware>'
manifest vqr03-cli.exe '>UTF-8</activeCodePage>'
for exe in vqr03.exe vqr03-cli.exe; do manifest "$exe" "version=\"$version.0"; done
cmp -s "$dir/x/README.txt" "$(dirname "$0")/../../README.md" || fail "README.txt is not the README"

[ "$failures" -eq 0 ] && echo "$zip: $(wc -l <"$dir/got") files as expected, programs stripped"
[ "$failures" -eq 0 ]
