#!/bin/sh
# Runs a test program with umockdev's preload library in front, which shows it (and the programs
# it starts) the sysfs tree, /dev nodes and uevents of the testbed the test builds. Under
# AddressSanitizer the preload library then comes before the sanitizer's runtime in the list of
# libraries; the runtime is told that this is intended.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec umockdev-wrapper "$@"
