#!/bin/sh
# wine-i386.sh [--where] CACHE
#
# Prepares the 32-bit Windows half of Wine, which the installed 64-bit Wine
# needs to run 32-bit PE files in its WoW64 mode, and prints the folder to put
# in WINEDLLPATH: CACHE/VERSION, holding
#   i386-windows  the 32-bit Windows DLLs and programs of Debian's libwine:i386
#                 at exactly the installed wine64 version
#   x86_64-unix   a link to the installed 64-bit Unix folder, which the 32-bit
#                 DLLs with a Unix side (crypt32.dll and others) load
# The package is downloaded and unpacked, never installed: apt runs with a
# private configuration (architecture i386, its own sources list, package
# lists, cache and an empty status), so the machine's package state is
# untouched. Does nothing when the folder is there. --where prints the folder
# without preparing it.
set -eu
where=0
[ "${1:-}" = "--where" ] && { where=1; shift; }
[ $# -eq 1 ] || { echo "usage: wine-i386.sh [--where] CACHE" >&2; exit 2; }
fail() { echo "wine-i386: $*" >&2; exit 1; }

version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) ||
    fail "wine64 is not installed (scripts/setup.sh installs it)"
mkdir -p "$1"
cache=$(cd "$1" && pwd)
dest=$cache/$version
if [ "$where" -eq 1 ] || { [ -f "$dest/i386-windows/ntdll.dll" ] && [ -f "$dest/x86_64-unix/ntdll.so" ]; }; then
    echo "$dest"
    exit 0
fi

unix=$(dpkg -L libwine 2>/dev/null | grep '/x86_64-unix/ntdll\.so$' | head -n 1)
[ -n "$unix" ] || fail "the installed libwine has no x86_64-unix/ntdll.so"

# The archive and suite the installed wine64 came from, as apt-cache policy
# lists them under the installed version ("500 URI SUITE/COMPONENT arch
# Packages"); Debian's main archive for this release when it names none.
source=$(apt-cache policy wine64 2>/dev/null |
    awk '/^ \*\*\* / { mine = 1; next } /^ [^ ]/ { mine = 0 } mine && $2 ~ /^https?:/ { print $2, $3; exit }')
if [ -n "$source" ]; then
    uri=${source% *} suite=${source#* } component=${suite#*/} suite=${suite%%/*}
else
    . /etc/os-release
    uri=http://deb.debian.org/debian suite=$VERSION_CODENAME component=main
fi

work=$(mktemp -d "$cache/.fetch-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/parts" "$work/x"
: >"$work/status"
echo "deb [arch=i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite $component" >"$work/sources.list"
apt() {
    apt-get -q -o APT::Architecture=i386 -o APT::Architectures=i386 \
        -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts" \
        -o Dir::Etc::PreferencesParts="$work/parts" -o Dir::State::Lists="$work/lists" \
        -o Dir::State::status="$work/status" -o Dir::Cache="$work" -o Dir::Cache::archives="$work/archives" \
        -o APT::Sandbox::User="$(id -un)" "$@" >>"$work/apt.log" 2>&1
}
echo "wine-i386: downloading libwine:i386 $version from $uri $suite (about 95 MB, once)" >&2
if ! (cd "$work" && apt update && apt download "libwine:i386=$version"); then
    cat "$work/apt.log" >&2
    fail "cannot download libwine:i386 $version from $uri $suite $component"
fi
dpkg -x "$work"/libwine_*_i386.deb "$work/x" || fail "cannot unpack $(ls "$work"/libwine_*_i386.deb)"
mkdir "$work/$version"
mv "$work/x/usr/lib/i386-linux-gnu/wine/i386-windows" "$work/$version/" ||
    fail "libwine:i386 $version has no usr/lib/i386-linux-gnu/wine/i386-windows"
ln -s "$(dirname "$unix")" "$work/$version/x86_64-unix"
rm -rf "$dest"
mv "$work/$version" "$dest"
echo "$dest"
