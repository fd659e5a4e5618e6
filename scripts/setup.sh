#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a Debian 12 machine (run as root).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export DEBIAN_FRONTEND=noninteractive
apt-get update
xargs -a "$here/packages.txt" apt-get install -y --no-install-recommends
