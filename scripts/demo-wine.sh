#!/bin/sh
# The whole life of the kit on the real engine, narrated: the x86 package of a
# win32 build installed by Wine's msiexec in a fresh prefix, the kit's lines of
# the installer log, the Path and the COM registrations, a run of dorvak that
# finds the runtime through the machine Path, and the removal.
#   scripts/demo-wine.sh BUILD_DIR WINEDLLPATH
set -eu
build=$(cd "$1" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/krt-demo-wine-XXXXXX")
export WINEPREFIX=$scratch/prefix WINEDLLPATH=$2 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
drive_c=$WINEPREFIX/drive_c
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
com_key='HKLM\SOFTWARE\KRTKit\TestComServers'
trap 'wineserver -k 2>/dev/null || true' EXIT

. "$(dirname "$0")/demo-narration.sh"

# The values of a registry key as the package's 32-bit processes see them.
reg_show() {
    wine reg query "$@" /reg:32 2>/dev/null | tr -d '\r' | grep '^    ' || show "  (none)"
}
machine_path() { reg_show "$env_key" /v Path | sed 's/^ *Path *REG_[A-Z_]* *//' | tr ';' '\n' | sed 's/^/  /'; }
# The kit's own lines of an installer log.
kit_lines() { tr -d '\r' <"$drive_c/demo/$1" | grep '^KRTCustomActions: ' | sed 's/^/  /'; }
msiexec() {
    log=$1
    shift
    status=0
    wine msiexec "$@" /qn /l*v "C:\\demo\\$log" || status=$?
    show "  msiexec exit status: $status"
    [ "$status" -eq 0 ]
}

say "A fresh Wine prefix in $WINEPREFIX (about 10 s; 32-bit programs run in Wine's WoW64 mode)"
wineboot -i 2>"$scratch/boot.log"
wineserver -w
wineserver -p10
mkdir -p "$drive_c/demo"
cp "$build/packaging/KRTKit.msi" "$drive_c/demo/"
path_before=$(machine_path)
say "The machine before installation. System Path:"
show "$path_before"

say 'msiexec /i C:\demo\KRTKit.msi TARGETDIR=C:\Apps\Kit\ /qn /l*v C:\demo\install.log'
msiexec install.log /i 'C:\demo\KRTKit.msi' 'TARGETDIR=C:\Apps\Kit\'
say "The kit's lines of the installer log:"
kit_lines install.log
say 'Files laid down under C:\Apps\Kit:'
(cd "$drive_c/Apps/Kit" && find . -type f | sort | sed 's|^\./|  |')
say "System Path after installation:"
machine_path
say 'COM servers registered (32-bit view: HKLM\SOFTWARE\WOW6432Node\KRTKit\TestComServers):'
reg_show "$com_key"

say "dorvak.exe, started from $scratch, finds the runtime library through the system Path"
status=0
(cd "$scratch" && wine 'C:\Apps\Kit\bin\dorvak.exe' hello "packaging engineer") >"$scratch/dorvak.out" || status=$?
tr -d '\r' <"$scratch/dorvak.out" | sed 's/^/  /'
show "  exit status: $status"
[ "$status" -eq 0 ]

say 'msiexec /x C:\demo\KRTKit.msi /qn /l*v C:\demo\remove.log'
msiexec remove.log /x 'C:\demo\KRTKit.msi'
say "The kit's lines of the installer log:"
kit_lines remove.log
expect_gone "$drive_c/Apps/Kit/v71" 'C:\Apps\Kit\v71'
expect_path_back "$path_before" "$(machine_path)"

printf '\nThe prefix and both installer logs (drive_c/demo) are in %s\n' "$scratch"
