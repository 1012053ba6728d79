#!/bin/sh
# boot-prefix.sh PREFIX: makes a fresh Wine prefix and waits until its
# server has written the registry out, so that the prefix can be copied.
set -eu
prefix=$1
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix"
"${KRT_WINEBOOT:-wineboot}" -i
"${KRT_WINESERVER:-wineserver}" -w
test -f "$prefix/system.reg"
