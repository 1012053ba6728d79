#!/bin/sh
# The demonstration: builds the host tier (installing what is missing) and
# shows one installation, run and removal of the kit in a scratch folder.
# With --wine: builds the win32 tier instead and shows the same cycle with the
# real 32-bit files, installed by Wine's msiexec in a fresh prefix.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
if [ "${1:-}" = "--wine" ]; then
    cmake --preset win32 >/dev/null
    cmake --build --preset win32 >/dev/null
    dll_path=$(scripts/wine-i386.sh build/wine-i386)
    exec scripts/demo-wine.sh build/win32 "$dll_path"
fi
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
exec scripts/demo-cycle.sh build/host
