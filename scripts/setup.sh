#!/bin/sh
# Installs the Debian packages the build and every test tier need.
# Idempotent: does nothing (and touches no package index) when all are present.
# Never installs wine32: these machines run 64-bit PE files only.
set -eu
PKGS="cmake ninja-build g++ clang-14 libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
wine wine64 wixl msitools openssl python3 xxd locales"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
