# Sourced by the demonstration scripts: headings and lines, and the checks
# that end a removal.
if [ -t 1 ]; then bold=$(printf '\033[1m'); plain=$(printf '\033[0m'); else bold=; plain=; fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '%s\n' "$*"; }

# expect_gone FILE NAME: FILE (named NAME on the screen) no longer exists.
expect_gone() {
    if [ -e "$1" ]; then show "  $2 is still there" >&2; exit 1; fi
    show "  $2 is gone"
}

# expect_path_back BEFORE AFTER: shows the system Path after removal (AFTER)
# and checks that it is exactly BEFORE.
expect_path_back() {
    say "System Path after removal:"
    show "$2"
    if [ "$2" = "$1" ]; then
        show "  The system Path is back to exactly what it was."
    else
        show "  The system Path differs from before installation." >&2
        exit 1
    fi
}
