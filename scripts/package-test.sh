#!/usr/bin/env bash
# The Debian package as a user gets it: builds it from the linux preset's build (cpack -G DEB),
# checks it with lintian (any error fails), looks for the files it must hold, installs it with
# apt, runs what it installed and removes it again. Run as root, after the linux preset's
# build and tests (scripts/test.sh does).
#
#   scripts/package-test.sh [BUILD_DIR]   (default build/linux)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux}
export DEBIAN_FRONTEND=noninteractive

echo "=== package: cpack -G DEB in $build"
rm -f "$build"/vqr03_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/vqr03_*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single vqr03_*.deb in $build" >&2; exit 1; }
deb=${debs[0]}

echo "=== package: lintian $deb"
lintian --fail-on error "$deb"

echo "=== package: contents"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
missing=0
for path in ./usr/bin/vqr03 ./usr/bin/vqr03-cli ./usr/bin/vqr-pack \
  ./usr/lib/udev/rules.d/70-vqr03.rules \
  ./usr/share/applications/org.vqr03.updater.desktop \
  ./usr/share/metainfo/org.vqr03.updater.metainfo.xml \
  ./usr/share/icons/hicolor/48x48/apps/vqr03.png \
  ./usr/share/man/man1/vqr03.1.gz ./usr/share/man/man1/vqr03-cli.1.gz \
  ./usr/share/man/man1/vqr-pack.1.gz \
  ./usr/share/doc/vqr03/copyright ./usr/share/doc/vqr03/changelog.gz; do
  grep -qxF "$path" <<<"$contents" || { echo "missing from the package: $path" >&2; missing=1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -qF "fonts-noto-cjk | fonts-wqy-microhei" <<<"$depends" ||
  { echo "Depends lacks the CJK font: $depends" >&2; missing=1; }
grep -q "libhidapi-hidraw0" <<<"$depends" ||
  { echo "Depends lacks the computed library packages: $depends" >&2; missing=1; }
[ "$missing" -eq 0 ]

echo "=== package: install, run, remove"
# Whatever happens from here on, the package does not stay installed.
trap 'apt-get remove -y vqr03 >/dev/null 2>&1 || true' EXIT
apt-get install -y "./$deb"
[ "$(command -v vqr03-cli)" = /usr/bin/vqr03-cli ] || { echo "vqr03-cli is not /usr/bin's" >&2; exit 1; }
/usr/bin/vqr03 --version
/usr/bin/vqr-pack --version
/usr/bin/vqr03-cli --version
/usr/bin/vqr03-cli --demo --yes
man -w vqr03-cli
apt-get remove -y vqr03
trap - EXIT
if [ -e /usr/bin/vqr03-cli ] || [ -e /usr/lib/udev/rules.d/70-vqr03.rules ]; then
  echo "files left after apt-get remove" >&2
  exit 1
fi
echo "=== package: passed"
