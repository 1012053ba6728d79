#!/bin/sh
# Static checks of the 32-bit custom-action library: a PE32 i386 DLL whose
# export table is exactly Commit, Install, Rollback, Uninstall at ordinals 1-4,
# by their plain names, importing the installer's library.
set -eu
objdump="$1"
dll="$2"
fail() { echo "FAIL: $*" >&2; exit 1; }

headers=$("$objdump" -f "$dll")
echo "$headers" | grep -q "file format pei-i386" || fail "not a PE32 i386 file: $headers"
"$objdump" -p "$dll" | grep -q "^Characteristics.*" || true
"$objdump" -p "$dll" | grep -Eq "Magic[[:space:]]+010b" || fail "optional header is not PE32"

# "[Ordinal/Name Pointer] Table" lists the named exports as "[ index] Name";
# the export address table gives their ordinals ("+base[ N]").
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]' |
          sed -E 's/^\s*\[\s*([0-9]+)\]\s+(.*)$/\1 \2/')
expected="0 Commit
1 Install
2 Rollback
3 Uninstall"
[ "$exports" = "$expected" ] || fail "named exports are
$exports"
base=$("$objdump" -p "$dll" | sed -n 's/.*Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p')
[ "$base" = "1" ] || fail "ordinal base is $base"
count=$("$objdump" -p "$dll" | sed -n '/Export Address Table -- Ordinal Base/,/^$/p' | grep -c '+base\[')
[ "$count" = "4" ] || fail "$count entries in the export address table"
"$objdump" -p "$dll" | grep -Eq '(_Commit@4|Commit@4|_Install@4|DllMain)' && fail "decorated or extra export names"

# The installer's six functions are imported by ordinal, none by name.
msi=$("$objdump" -p "$dll" | sed -n '/DLL Name: msi.dll/,/^$/p' | grep -E '^\s*[0-9a-f]{8}\s')
ordinals=$(echo "$msi" | awk '{print $2}' | tr '\n' ' ')
[ "$ordinals" = "8 17 73 103 121 124 " ] || fail "msi.dll imports: $msi"
echo "$msi" | grep -qv '<none>' && fail "msi.dll imported by name: $msi"
echo "KRTCustomActions.dll: PE32 i386, exports Commit@1 Install@2 Rollback@3 Uninstall@4, msi.dll by ordinal"
