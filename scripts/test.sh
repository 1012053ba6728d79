#!/bin/sh
# Runs every test tier, from a fresh machine: installs what is missing, then
# configures, builds and tests the four presets in turn:
#   host       Linux build against the stand-in platform
#   host-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer,
#              with a bounded fuzz run
#   win32      the real 32-bit deliverables, checked statically and run under
#              Wine in its WoW64 mode (scripts/wine-i386.sh fetches its 32-bit half)
#   win64      the same sources for x86_64, run under Wine with a real installer
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in ${KRT_PRESETS:-host host-asan win32 win64}; do
    echo "==== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "==== all tiers passed"
