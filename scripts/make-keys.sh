#!/bin/sh
# Makes a new key pair for the dorvak component data module.
#
#   scripts/make-keys.sh            print the two keys as C string literals
#   scripts/make-keys.sh --write    put them into launcher/DORVAK_KVC_COMPONENT_DATA.cpp
#
# The public key is the DER SubjectPublicKeyInfo of a fresh 1024-bit RSA key
# with public exponent 17 (a one-byte exponent keeps the encoding at exactly
# 160 bytes); the session key is the RSA encryption (PKCS#1 v1.5) under that
# key of 32 random bytes, 128 bytes long. Both are written as upper-case hex.
# The private key and the secret exist only in a temporary folder that is
# removed on exit: nothing secret is kept or printed.
set -eu

mode=print
case "${1:-}" in
    "") ;;
    --write) mode=write ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "make-keys: unknown option '$1' (use --write or nothing)" >&2; exit 2 ;;
esac

command -v openssl >/dev/null || { echo "make-keys: openssl is needed" >&2; exit 1; }
command -v od >/dev/null || { echo "make-keys: od is needed" >&2; exit 1; }

here=$(cd "$(dirname "$0")/.." && pwd)
module="$here/launcher/DORVAK_KVC_COMPONENT_DATA.cpp"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
umask 077

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 \
    -pkeyopt rsa_keygen_pubexp:17 -out "$work/private.pem" 2>/dev/null
openssl pkey -in "$work/private.pem" -pubout -outform DER -out "$work/public.der"
openssl rand -out "$work/secret.bin" 32
openssl pkeyutl -encrypt -pubin -keyform DER -inkey "$work/public.der" \
    -in "$work/secret.bin" -out "$work/session.bin"

# Upper-case hex, one line, no separators.
hex() { od -An -v -tx1 "$1" | tr -d ' \n' | tr 'a-f' 'A-F'; }
public=$(hex "$work/public.der")
session=$(hex "$work/session.bin")

[ ${#public} -eq 320 ] || { echo "make-keys: public key is ${#public} digits, not 320" >&2; exit 1; }
[ ${#session} -eq 256 ] || { echo "make-keys: session key is ${#session} digits, not 256" >&2; exit 1; }

if [ "$mode" = print ]; then
    printf '"%s"\n"%s"\n' "$public" "$session"
    exit 0
fi

# Rewrite the line after each marker comment of the data module.
[ -f "$module" ] || { echo "make-keys: $module not found" >&2; exit 1; }
grep -q '// key: public' "$module" && grep -q '// key: session' "$module" ||
    { echo "make-keys: key markers missing in $module" >&2; exit 1; }
awk -v pub="$public" -v ses="$session" '
    replace != "" { sub(/"[0-9A-Fa-f]*"/, "\"" replace "\""); replace = "" }
    /\/\/ key: public/  { replace = pub }
    /\/\/ key: session/ { replace = ses }
    { print }
' "$module" >"$work/module.cpp"
cat "$work/module.cpp" >"$module"
echo "make-keys: new keys written to $module" >&2
