#!/bin/sh
# check-pe.sh OBJDUMP dorvak.exe kvlkrtrt71.dll
# dorvak.exe must be a 32-bit console program that takes the seven runtime
# functions from kvlkrtrt71.dll at load time, and the DLL must export exactly
# those seven under their plain names. Neither may need a toolchain DLL.
set -u
objdump=$1 exe=$2 dll=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

functions="kvlInitializeApplication kvlInitializeComponentInstance kvlMain
kvlTerminateApplication kvlTerminateInstance kvlWaitForFiguresToDie kvlkrtInitialize"

exe_info=$("$objdump" -p "$exe") || { echo "FAIL: objdump cannot read $exe"; exit 1; }
dll_info=$("$objdump" -p "$dll") || { echo "FAIL: objdump cannot read $dll"; exit 1; }

# The functions imported from one DLL, one a line.
imports_from() {
    printf '%s\n' "$1" | awk -v dll="$2" '
        /DLL Name:/ { inside = (tolower($3) == tolower(dll)); next }
        inside && /^[ \t]*$/ { inside = 0 }
        inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' | sort
}

# The names in the export table, one a line.
exports_of() {
    printf '%s\n' "$1" | awk '
        /\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
        inside { inside = 0 }' | sort
}

check_pe32() {
    what=$1 info=$2
    printf '%s\n' "$info" | grep -q 'file format pei-i386' && pass "$what is pei-i386" || fail "$what is not pei-i386"
    printf '%s\n' "$info" | grep -Eq '^Magic[[:space:]]+010b' && pass "$what is PE32" || fail "$what is not PE32"
    if printf '%s\n' "$info" | grep 'DLL Name:' | grep -Eiq 'libstdc|libgcc|libwinpthread|hostwin'; then
        fail "$what needs a toolchain or stand-in platform DLL: $(printf '%s\n' "$info" | grep 'DLL Name:' | tr -s ' \t' ' ')"
    else
        pass "$what needs no toolchain DLL"
    fi
}

check_pe32 dorvak.exe "$exe_info"
check_pe32 kvlkrtrt71.dll "$dll_info"

printf '%s\n' "$exe_info" | grep -q 'Windows CUI' && pass "dorvak.exe is a console program" || fail "dorvak.exe is not a console program"

expected=$(printf '%s\n' $functions | sort)
got=$(imports_from "$exe_info" kvlkrtrt71.dll)
[ "$got" = "$expected" ] && pass "dorvak.exe imports the seven functions from kvlkrtrt71.dll" ||
    fail "dorvak.exe imports from kvlkrtrt71.dll: [$(echo $got)], expected [$(echo $expected)]"

got=$(exports_of "$dll_info")
[ "$got" = "$expected" ] && pass "kvlkrtrt71.dll exports exactly the seven functions" ||
    fail "kvlkrtrt71.dll exports [$(echo $got)], expected [$(echo $expected)]"

printf '%s\n' "$dll_info" | grep -Eq '^Name[[:space:]]+[0-9a-f]+ kvlkrtrt71\.dll$' && pass "the DLL calls itself kvlkrtrt71.dll" ||
    fail "the DLL's export name is not kvlkrtrt71.dll"

for f in "$exe" "$dll"; do
    "$objdump" -h "$f" | grep -q '\.rsrc' && pass "$(basename "$f") has a resource section" ||
        fail "$(basename "$f") has no version resource"
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
