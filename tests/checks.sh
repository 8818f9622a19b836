# Shared by the shell tests: count failures, compare two lists, report at the end, and
# what an install holds. Sourced, not run.

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# differ ACTUAL WANTED ONLY_IN_ACTUAL ONLY_IN_WANTED: one failure for every line that
# stands in one sorted list and not in the other; %s in the messages is that line.
differ() {
    local line
    while IFS= read -r line; do
        [ -n "$line" ] && fail "$(printf "$3" "$line")"
    done < <(comm -23 <(printf '%s\n' "$1") <(printf '%s\n' "$2"))
    while IFS= read -r line; do
        [ -n "$line" ] && fail "$(printf "$4" "$line")"
    done < <(comm -13 <(printf '%s\n' "$1") <(printf '%s\n' "$2"))
}

# finish WHAT: the summary line, and the exit status.
finish() {
    echo "$1 checked, $failures failures"
    [ "$failures" -eq 0 ]
}

programs=(kestrel kestrel-sweep kestrel-runs kestrel-scpi kestrel-sim)
helpers=(libexec/kestrel/kestrel-guard) # executable, not for users: no page
icon_sizes=(16 32 48 64 128 256)

# Every file an install puts under its prefix, sorted.
installed_files() {
    local s
    {
        printf '%s\n' share/applications/kestrel.desktop share/kestrel/sendArbcmd.sh \
            share/icons/hicolor/scalable/apps/kestrel.svg share/lintian/overrides/kestrel \
            share/doc/kestrel/copyright share/doc/kestrel/changelog.Debian.gz
        printf 'bin/%s\n' "${programs[@]}"
        printf '%s\n' "${helpers[@]}"
        for s in "$(dirname "${BASH_SOURCE[0]}")"/../instruments/*.toml; do
            echo "share/kestrel/instruments/${s##*/}"
        done
        printf 'share/man/man1/%s.1.gz\n' "${programs[@]}"
        for s in "${icon_sizes[@]}"; do echo "share/icons/hicolor/${s}x$s/apps/kestrel.png"; done
    } | sort
}

# check_versions BIN_DIR VERSION WHICH: each program in BIN_DIR runs and tells VERSION.
check_versions() {
    local p out
    for p in "${programs[@]}"; do
        out="$(QT_QPA_PLATFORM=offscreen "$1/$p" --version 2>/dev/null)"
        [[ "$out" == *" $2" ]] || fail "$3 $p --version printed '$out', not its version $2"
    done
}
