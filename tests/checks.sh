# Shared by the shell tests: count failures, compare two lists, report at the end.
# Sourced, not run.

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
