#!/bin/bash
# run-scenario.sh SCENARIO PREFIX WORKDIR DORVAK_EXE
#
# Runs dorvak.exe (with kvlkrtrt71.dll beside it) under Wine in a copy of the
# booted PREFIX and checks exit status, the exact bytes of both standard
# streams and the stand-in runtime's trace. The copy hard-links drive_c, which
# nothing here writes to, and really copies the registry and the other
# top-level files, which Wine rewrites.
set -u
scenario=$1 template=$2 work=$3 exe=$4
wine=${KRT_WINE:-wine}
wineserver=${KRT_WINESERVER:-wineserver}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

failures=0
fail() { echo "FAIL [$scenario]: $*"; failures=$((failures + 1)); }
# skip REASON: for a scenario this Wine cannot run (in its WoW64 mode, say);
# CTest shows it as skipped.
skip() { echo "SKIP [$scenario]: $*"; exit 77; }

rm -rf "$work"
mkdir -p "$work/prefix"
cp -al "$template/drive_c" "$work/prefix/" || { echo "cannot copy the prefix $template"; exit 1; }
(cd "$template" && find . -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a {} "$work/prefix/" \;)
export WINEPREFIX="$work/prefix"
cleanup() {
    # Ends the server of this copy only; it would linger for a few seconds.
    "$wineserver" -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A Linux path as the Windows program sees it (Wine's Z: drive is /).
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

trace="$work/trace" out="$work/out" err="$work/err" script="$work/script"

# run [--merged] [VAR=VALUE...] [-- ARGS...]: one run, streams and trace into
# $work; with --merged both streams go into one file ($out).
status=0
run() {
    local merged=0 vars=()
    [ "${1:-}" = "--merged" ] && { merged=1; shift; }
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do vars+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    rm -f "$trace" "$out" "$err"
    set -- env -u KVLKRT_FAIL -u KVLKRT_TRUE -u KVLKRT_RESULT -u KVLKRT_SCRIPT -u KVLKRT_FIGURES_MS \
        KVLKRT_TRACE="$(winpath "$trace")" "${vars[@]}" "$wine" "$exe" "$@"
    if [ "$merged" -eq 1 ]; then
        "$@" >"$out" 2>&1 </dev/null
    else
        "$@" >"$out" 2>"$err" </dev/null
    fi
    status=$?
    touch "$trace" "$err"
}

expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }

# expect_bytes FILE PRINTF-FORMAT: FILE holds exactly these bytes.
expect_bytes() {
    local want="$work/want"
    printf "$2" >"$want"
    cmp -s "$1" "$want" || fail "$(basename "$1") is [$(od -An -c "$1" | tr -s ' \n' ' ')], expected [$(od -An -c "$want" | tr -s ' \n' ' ')]"
}

calls() { grep -o '^kvl[A-Za-z]*' "$trace" | tr '\n' ' '; }
expect_calls() { [ "$(calls)" = "$* " ] || fail "calls [$(calls)], expected [$* ]"; }
expect_trace_lines() {
    # expect_trace_lines PATTERN EXPECTED: the trace lines matching PATTERN, joined by '|'.
    local got
    got=$(grep -E "$1" "$trace" | tr '\n' '|')
    [ "$got" = "$2" ] || fail "trace lines /$1/: [$got], expected [$2]"
}

full_run="kvlInitializeApplication kvlkrtInitialize kvlInitializeComponentInstance kvlMain kvlWaitForFiguresToDie kvlTerminateInstance kvlTerminateApplication"
no_wait="kvlInitializeApplication kvlkrtInitialize kvlInitializeComponentInstance kvlMain kvlTerminateInstance kvlTerminateApplication"

case "$scenario" in
success)
    # The demonstration component prints one line per argument it got; in
    # the text-mode stream each line ends in CR LF.
    run KVLKRT_TRUE=255 -- "a b" "" "--help"
    expect_status 0
    expect_calls $full_run
    expect_bytes "$err" ''
    first=$(head -n 1 "$out")
    case "$first" in *\\dorvak.exe$'\r') ;; *) fail "first argument [$first] is not the program path" ;; esac
    tail -n +2 "$out" >"$work/rest"
    expect_bytes "$work/rest" 'a b\r\n\r\n--help\r\n'
    expect_trace_lines '^(kvlMain|arg=a|arg=$|arg=--)' "kvlMain instance_ok=1 argc=4 argv_null=0 name=dorvak mode=0 script=0 result=0|arg=a b|arg=|arg=--help|"
    grep -q '^kvlInitializeComponentInstance .* public_len=320 .* session_len=256 .* root= root_null=0 path_count=34 .* c12=1 c13=0 c14=0 c15=0 ' "$trace" ||
        fail "instance creation got [$(grep '^kvlInitializeComponentInstance' "$trace")]"
    [ "$(grep -c '^path=' "$trace")" -eq 34 ] || fail "not 34 search path entries"
    grep -qx 'path=$TOOLBOXKAVRICDIR/torvane/' "$trace" || fail "search path entry expanded or missing"
    ;;
nonzero_result)
    printf 'print out\n' >"$script"
    for result in 3 -2; do
        run KVLKRT_RESULT=$result KVLKRT_SCRIPT="$(winpath "$script")"
        expect_status $((result & 255))
        expect_calls $no_wait
        expect_bytes "$out" 'out'
        expect_bytes "$err" ''
    done
    ;;
init_failures)
    run KVLKRT_FAIL=kvlInitializeApplication
    expect_status 255
    expect_calls kvlInitializeApplication
    run KVLKRT_FAIL=kvlkrtInitialize
    expect_status 255
    expect_calls kvlInitializeApplication kvlkrtInitialize
    run KVLKRT_FAIL=kvlInitializeComponentInstance
    expect_status 255
    expect_calls kvlInitializeApplication kvlkrtInitialize kvlInitializeComponentInstance
    expect_bytes "$out" ''
    expect_bytes "$err" ''
    ;;
handler_bytes)
    # Text-mode streams: the C runtime writes each "\n" as "\r\n" (a "\r"
    # before it stays), and the counts are those of the texts, the inserted
    # "\r" not counted, as fwrite reports them.
    printf '%s\n' 'print abc' 'error abc' 'error x\n' 'error' 'print ab\r' 'error ab\r' 'print \n' >"$script"
    run KVLKRT_SCRIPT="$(winpath "$script")"
    expect_status 0
    expect_bytes "$out" 'abcab\r\r\n'
    expect_bytes "$err" 'abc\r\nx\r\nab\r\r\n'
    expect_trace_lines '_result=' 'print_result=3|error_result=4|error_result=2|error_result=0|print_result=3|error_result=4|print_result=1|'
    # Unbuffered: both streams into one file keep the order of the writes.
    printf '%s\n' 'print a' 'error b' 'print c\n' 'error d' >"$script"
    run --merged KVLKRT_SCRIPT="$(winpath "$script")"
    expect_status 0
    expect_bytes "$out" 'ab\r\nc\r\nd\r\n'
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "--- trace"; cat "$trace"; echo "--- stderr"; cat "$err"
    echo "$failures check(s) failed"
    exit 1
fi
echo "scenario $scenario passed"
