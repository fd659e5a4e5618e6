#!/usr/bin/env bash
# Builds the Linux programs and runs the demo: a simulated device and a loopback update server
# with sample content, so the whole update runs with no hardware and no network. With a
# display it opens the window (vqr03 --demo); without one it runs the command-line front end.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vqr03-cli $( [ -n "${DISPLAY:-}" ] && echo vqr03 )
if [ -n "${DISPLAY:-}" ] && [ -x build/linux/src/ui/qt/vqr03 ]; then
  exec build/linux/src/ui/qt/vqr03 --demo
fi
exec build/linux/src/ui/cli/vqr03-cli --demo --yes
